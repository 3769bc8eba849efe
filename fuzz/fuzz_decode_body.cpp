// Multipart bodies of any shape. The first input byte chooses whether a
// leading 0x84 is put in front of the rest (so most inputs reach the
// multipart reader) or the rest is decoded as it is. Every part handed out
// must lie inside the input (or in its own buffer when it was decoded from
// base64 or quoted-printable); the record is then encoded again and the
// encoding decoded, and everything released. The whole-body check (what a
// download asks before it calls a message retrieved) must find every
// encoding whole and the same cut by its last byte not.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_alloc_test.h"
#include "qx_log.h"

namespace {

// Part data lies inside the input, or, for a part decoded from its transfer
// encoding, is the part's own buffer (read whole, so ASan checks its size).
void check_inside(const mmresstruct *b, const uint8_t *data, size_t size) {
    // A part of 0 bytes points where its bytes would be, at most at the end.
    auto inside = [&](const uint8_t *p, int n, const uint8_t *decoded) {
        if (n < 0) return false;
        if (n == 0 && !p) return true;  // a transfer encoding that decoded to nothing leaves no data
        if (decoded && p == decoded) {
            volatile uint8_t sum = 0;
            for (int i = 0; i < n; ++i) sum = sum + p[i];
            return true;
        }
        return p >= data && p + n <= data + size;
    };
    if (b->Smil && b->Smil->Data_Len > 0 && !inside(b->Smil->Data, b->Smil->Data_Len, b->Smil->Decoded_Data)) std::abort();
    for (const tMMS_Element *e = b->Parts; e; e = e->next) {
        if (!inside(e->Data, e->Data_Len, e->Decoded_Data)) std::abort();
        if (e->File_Name) (void)std::strlen(e->File_Name);
        if (e->Name_Param) (void)std::strlen(e->Name_Param);
        if (e->Content_Id) (void)std::strlen(e->Content_Id);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const long liveBefore = qx::alloc_stats().liveBlocks;
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size == 0 || size > 1 << 20) return 0;
    const bool force = data[0] & 1;
    const size_t n = size - 1 + (force ? 1 : 0);
    auto *copy = static_cast<uint8_t *>(std::malloc(n ? n : 1));
    if (force) copy[0] = MMS_CONTENT_TYPE_FIELD;
    if (size > 1) std::memcpy(copy + (force ? 1 : 0), data + 1, size - 1);

    // The whole-body check: within its bytes, and its verdict consistent.
    const MmsBodyCheck extent = MMS_CheckBodyExtent(copy, static_cast<int>(n));
    if ((extent.extent == MmsBodyExtent::NoBody) != (n == 0 || copy[0] != MMS_CONTENT_TYPE_FIELD)) std::abort();
    if (extent.extent == MmsBodyExtent::CutInEntry && (extent.part < 1 || extent.part > extent.parts)) std::abort();
    mmresstruct *body = fnMMS_DecodeBody(copy, static_cast<int>(n));
    if (body) {
        check_inside(body, copy, n);
        int len = -1;
        uint8_t *again = fnMMS_EncodeBody(body, &len);
        if (!again || len < 3 || again[0] != MMS_CONTENT_TYPE_FIELD) std::abort();
        // What the encoder writes is always whole, and cut by one byte never is
        // (unless it has no entries to cut into).
        if (MMS_CheckBodyExtent(again, len).extent != MmsBodyExtent::Whole) std::abort();
        if (body->Parts && MMS_CheckBodyExtent(again, len - 1).extent == MmsBodyExtent::Whole) std::abort();
        mmresstruct *second = fnMMS_DecodeBody(again, len);
        if (!second) std::abort();
        check_inside(second, again, static_cast<size_t>(len));
        fnMMS_FreeDecodedBody(second);
        void *v = again;
        fnQX_Free(&v);
        fnMMS_FreeDecodedBody(body);
    }
    if (qx::alloc_stats().liveBlocks != liveBefore) std::abort();  // every block released
    std::free(copy);
    return 0;
}
