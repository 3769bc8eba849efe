// Checks shared by the presentation-parser fuzz targets: the view they build
// must hold together and point only into the bytes it was given.
#ifndef PARSER_FUZZ_SUPPORT_H
#define PARSER_FUZZ_SUPPORT_H

#include <cstdlib>
#include <cstring>

#include "MMSPs_SlideView.h"

namespace parser_fuzz {

inline void require(bool ok) {
    if (!ok) std::abort();
}

// [p, p+n) lies inside [base, base+size).
inline bool inside(const void *p, long n, const void *base, long size) {
    const auto *b = static_cast<const uint8_t *>(base);
    const auto *q = static_cast<const uint8_t *>(p);
    if (n < 0) return false;
    if (!q) return n == 0;
    return q >= b && q + n <= b + size;
}

// Walks the view: links consistent, texts readable, data inside the input.
// True when some media record or attachment uses the part. Text records hold
// a copy, so a part taken by the presentation counts as used by a text when
// the view has a text record at all.
inline bool view_uses(const tMMS_Element *part) {
    const uint8_t *data = part->Data;
    const int len = part->Data_Len;
    const tSMIL_ViewStruct &v = SmilView();
    for (const tSMIL_Par *p = v.pParHead; p; p = p->pNext) {
        if (p->pText && part->IsSmil == 1) return true;
        for (const tSMIL_Img *m = p->pImg; m; m = m->pNext)
            if (m->Data == data) return true;
        for (const tSMIL_Aud *m = p->pAud; m; m = m->pNext)
            if (m->Data == data) return true;
        for (const tSMIL_Video *m = p->pVideo; m; m = m->pNext)
            if (m->Data == data) return true;
    }
    for (const tSMIL_Attachment *a = v.pAttachment; a; a = a->pNext)
        if (a->Data && a->Data >= data && a->Data + a->Length <= data + len) return true;
    return false;
}

template <typename Inside>
inline void check_view(Inside inside) {
    const tSMIL_ViewStruct &v = SmilView();
    const tSMIL_Par *prev = nullptr;
    bool curFound = v.CurPar == nullptr;
    for (const tSMIL_Par *p = v.pParHead; p; prev = p, p = p->pNext) {
        require(p->pPrev == prev);
        curFound |= p == v.CurPar;
        for (const tSMIL_Text *t = p->pText; t; t = t->pNext) require(t->Text != nullptr);
        for (const tSMIL_Img *m = p->pImg; m; m = m->pNext) {
            require(inside(m->Data, m->Length));
            if (m->Name) (void)std::strlen(m->Name);
            require(m->DrmType >= 0 && m->DrmType <= 5);
        }
        for (const tSMIL_Aud *m = p->pAud; m; m = m->pNext) require(inside(m->Data, m->Length));
        for (const tSMIL_Video *m = p->pVideo; m; m = m->pNext) require(inside(m->Data, m->Length));
    }
    require(curFound);
    const tSMIL_Attachment *aprev = nullptr;
    for (const tSMIL_Attachment *a = v.pAttachment; a; aprev = a, a = a->pNext) {
        require(a->pPrev == aprev);
        require(a->Name != nullptr);
        (void)std::strlen(a->Name);
        require(inside(a->Data, a->Length));
        require(a->DrmType >= 0 && a->DrmType <= 5);
    }
    for (const tSMIL_Region *r = v.pRegion; r; r = r->pNext)
        if (r->Id) (void)std::strlen(r->Id);
}

// Reads every slide and attachment through the queries.
inline void query_all() {
    fnPAR_FirstSlide();
    for (int guard = 0; !fnPAR_IsEmpty(); ++guard) {
        (void)fnPAR_GetDur();
        tPAR_TextInfo t{};
        if (fnPAR_GetText(&t)) (void)std::strlen(t.Text);
        tPAR_ImgInfo i{};
        if (fnPAR_GetImg(&i)) require(i.DrmType >= 0 && i.DrmType <= 5);
        tPAR_AudInfo a{};
        (void)fnPAR_GetAud(&a);
        tPAR_VideoInfo vi{};
        (void)fnPAR_GetVideo(&vi);
        uint32_t c;
        (void)fnPAR_GetBgColor(&c);
        (void)fnPAR_GetForeColor(&c);
        if (!fnPAR_NextSlide()) break;
        require(guard < (1 << 24));
    }
    const int n = fnPAR_GetAttachmentNum();
    for (int k = 0; k < n; ++k) {
        tPAR_AttachInfo a{};
        require(fnPAR_GetAttachment(&a, static_cast<uint32_t>(k)) == 1);
        require(a.Name != nullptr);
    }
    tPAR_AttachInfo a{};
    require(fnPAR_GetAttachment(&a, static_cast<uint32_t>(n)) == 0);
}

}  // namespace parser_fuzz

#endif
