// Shared by the composer fuzz targets: checks of the lists the composer hands
// to the host (every count, length and terminating 0 byte as promised); their
// release is the hosts' one (rorodire_host.h).
#ifndef FUZZ_HOST_LISTS_H
#define FUZZ_HOST_LISTS_H

#include <cstdlib>
#include <cstring>

#include "rorodire.h"
#include "rorodire_host.h"

namespace fuzzhost {

using rrhost::free_lists;
using rrhost::release;

// A data buffer of `size` bytes handed out ends with a 0 byte.
inline void check_buffer(const unsigned char *data, int size) {
    if (size < 0) std::abort();
    if (data && data[size] != 0) std::abort();
}

inline void check_lists(const tCPS_MmsData &d) {
    int n = 0;
    for (const tCPS_Slide *s = d.pSlide_List; s; s = s->next) {
        ++n;
        if (s->Has_Video && (s->Has_Image || s->Has_Audio)) std::abort();
        if (s->Has_Image) check_buffer(s->Image.Data, s->Image.Size);
        if (s->Has_Audio) check_buffer(s->Audio.Data, s->Audio.Size);
        if (s->Has_Video) check_buffer(s->Video.Data, s->Video.Size);
        if (s->Has_Text && (!s->Text.Text || s->Text.Length < 0)) std::abort();
        if (s->Has_Text) check_buffer(reinterpret_cast<const unsigned char *>(s->Text.Text), s->Text.Length);
        if (s->Duration <= 0) std::abort();
    }
    if (n != d.Slide_Num || n < 1) std::abort();
    n = 0;
    for (const tCPS_AttachNode *a = d.pAttach_List; a; a = a->next) {
        ++n;
        if (!a->Data || a->Size < 0) std::abort();
        check_buffer(a->Data, a->Size);
    }
    if (n != d.Attach_Num) std::abort();
}

}  // namespace fuzzhost

#endif
