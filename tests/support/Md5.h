// Hashing for tests: the project's MD5, re-exported for test programs.
#pragma once

#include "recover/Md5.h"

namespace qm::test {
using qm::Md5;
using qm::Md5Hex;
}  // namespace qm::test
