// Every carver the deep pass knows, and the quick first look that picks the
// ones worth asking at a cluster.
#pragma once

#include <span>
#include <vector>

#include "deep/carve/Carver.h"

namespace qm::deep {

// The carvers, one per format family, in the order they are asked.
std::span<const Carver* const> AllCarvers();

// The carvers whose Starts() says yes for `head`, appended to `out` (which is
// cleared first).
void CarversStartingAt(ByteView head, std::vector<const Carver*>& out);

}  // namespace qm::deep
