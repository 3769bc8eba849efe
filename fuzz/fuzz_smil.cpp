// SMIL text through the tokenizer and the interpreter, against a small body
// whose part names come from the input: the input is split at 0x01 bytes;
// every segment but the last names a part (its data are the name's bytes, its
// type chosen by its position), the last segment is the presentation. The
// presentation is an exactly sized, unterminated heap copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "fuzz_support.h"
#include "parser_fuzz_support.h"

using parser_fuzz::require;

namespace {

constexpr const char *kTypes[] = {"text/plain", "image/jpeg", "audio/amr", "video/3gpp",
                                  "application/vnd.oma.drm.message", "text/plain", "image/gif"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::vector<std::pair<size_t, size_t>> segs;
    size_t start = 0;
    for (size_t i = 0; i < size && segs.size() < 6; ++i) {
        if (data[i] == 0x01) {
            segs.push_back({start, i - start});
            start = i + 1;
        }
    }
    FuzzInput in(data + start, size - start);  // the presentation
    // Part names and data: NUL-terminated copies owned by this function.
    std::vector<std::vector<char>> names;
    std::vector<tMMS_Element> parts(segs.size());
    for (size_t k = 0; k < segs.size(); ++k) {
        names.emplace_back(data + segs[k].first, data + segs[k].first + segs[k].second);
        names.back().push_back('\0');
    }
    for (size_t k = 0; k < segs.size(); ++k) {
        tMMS_Element &p = parts[k];
        char *name = names[k].data();
        p.File_Name = (k % 3 == 2) ? nullptr : name;
        p.Name_Param = (k % 3 == 1) ? name : nullptr;
        p.Content_Id = name;
        p.Data = reinterpret_cast<uint8_t *>(name);
        p.Data_Len = static_cast<int>(segs[k].second);
        if (p.Data_Len == 0) p.Data = nullptr;
        p.Content_Type = const_cast<char *>(kTypes[k % std::size(kTypes)]);
        p.Has_Charset = (k == 5) ? 1 : 0;
        p.Charset = 4;
        p.Fwd_Present = (k == 3) ? 1 : 0;
        p.next = (k + 1 < segs.size()) ? &parts[k + 1] : nullptr;
    }
    tMMS_Element *first = parts.empty() ? nullptr : &parts[0];

    SmilInitView();
    SmilSetPartList(first);
    SmilSetSource(reinterpret_cast<const char *>(in.data()), in.size());
    const int ok = SmilParseSmil();
    // Media point at the data of one of the parts.
    auto inPart = [&](const void *p, long n) {
        for (size_t k = 0; k < parts.size(); ++k)
            if (parser_fuzz::inside(p, n, names[k].data(), static_cast<long>(names[k].size()))) return true;
        return p == nullptr && n == 0;
    };
    parser_fuzz::check_view(inPart);
    if (ok) {
        require(SmilParserNoSmilMMS(first) == 1);
        // Every part with data is on a slide or listed.
        for (const tMMS_Element &p : parts)
            if (p.Data) require(parser_fuzz::view_uses(&p));
        parser_fuzz::query_all();
    }
    SmilFreeView();
    SmilSetPartList(nullptr);
    SmilSetSource(nullptr, 0);
    return 0;
}
