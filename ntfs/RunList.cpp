// Run lists: where a non-resident attribute's clusters lie.
#include "ntfs/uNTFS.h"

namespace qm {

ErrorOr<std::vector<DataRun>> DecodeRunList(ByteView list, std::size_t maxRuns) {
    std::vector<DataRun> runs;
    std::uint64_t p = 0;
    std::int64_t lcn = 0;  // start of the last run that was not sparse
    bool first = true;
    for (;;) {
        auto header = list.U8(p);
        if (!header)
            return Error::At(ErrorCode::BadRunList, p, "run list ends without its end marker");
        if (*header == 0) break;
        const unsigned lenSize = *header & 0x0F;
        const unsigned offSize = *header >> 4;
        // A cluster count or number never needs more than 8 bytes.
        if (lenSize > 8 || offSize > 8)
            return Error::Mismatch(ErrorCode::BadRunList, p, "run field wider than 8 bytes", 8,
                                   lenSize > offSize ? lenSize : offSize);
        if (!list.Has(p + 1, std::uint64_t{lenSize} + offSize))
            return Error::At(ErrorCode::BadRunList, p, "run fields run past the run list");
        DataRun run;
        run.length = lenSize ? *list.UVar(p + 1, lenSize) : 0;
        std::int64_t delta = 0;
        std::uint64_t raw = 0;
        if (offSize) {
            raw = *list.UVar(p + 1 + lenSize, offSize);
            delta = *list.SVar(p + 1 + lenSize, offSize);
        }
        if (offSize == 0 || raw == 0) {
            run.sparse = true;
        } else if (first) {
            // The first run's field is the cluster number itself.
            if (raw > static_cast<std::uint64_t>(INT64_MAX))
                return Error::At(ErrorCode::BadRunList, p, "cluster number overflows");
            lcn = static_cast<std::int64_t>(raw);
            run.lcn = static_cast<std::uint64_t>(lcn);
        } else {
            auto next = CheckedAddSigned(lcn, delta);
            if (!next || *next < 0)
                return Error::At(ErrorCode::BadRunList, p, "run starts before cluster 0");
            lcn = *next;
            run.lcn = static_cast<std::uint64_t>(lcn);
        }
        first = false;
        if (runs.size() >= maxRuns)
            return Error::Mismatch(ErrorCode::BadRunList, p, "too many runs", maxRuns,
                                   runs.size() + 1);
        runs.push_back(run);
        p += 1 + lenSize + offSize;
    }
    return runs;
}

ErrorOr<ByteView> RunListOf(ByteView attribute) {
    auto offset = attribute.U16(kNrRunListOffset);
    auto length = attribute.U32(4);
    if (!offset || !length)
        return Error::At(ErrorCode::BadAttribute, 0, "non-resident header cut short");
    const std::uint64_t end = *length < attribute.size() ? *length : attribute.size();
    if (*offset > end)
        return Error::Mismatch(ErrorCode::BadAttribute, kNrRunListOffset,
                               "run list offset beyond the attribute", end, *offset);
    return attribute.SubClamped(*offset, end - *offset);
}

}  // namespace qm
