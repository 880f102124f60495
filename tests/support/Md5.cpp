// The implementation lives in tools/common (qm_md5); this unit only anchors the header.
#include "tests/support/Md5.h"
