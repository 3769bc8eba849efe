// Slide editing: adding and reading the items of the current slide,
// inserting slides and adding attachments, within the model's rules (one
// item of each kind per slide, no video beside an image or audio clip, ten
// slides, ten attachments).
#include <cstring>

#include "MMSCps_Public.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

tCPS_SlideStruct *cur_slide() {
    auto &m = cps_model();
    if (m.Cur_Slide < 0 || m.Cur_Slide >= CPS_MAX_SLIDES) return nullptr;
    return m.slidestruct[m.Cur_Slide];
}

bool cur_in_use() {
    auto &m = cps_model();
    return m.Cur_Slide >= 0 && m.Cur_Slide < CPS_MAX_SLIDES && m.Slide_In_Use[m.Cur_Slide] && cur_slide();
}

// A private copy of exactly `size` bytes (a size of 0 or less cannot be
// allocated); null when memory is short.
uint8_t *copy_data(const uint8_t *data, int size) {
    if (size <= 0) return nullptr;
    if (!data) return static_cast<uint8_t *>(fnQX_Malloc(size));
    auto *p = static_cast<uint8_t *>(qx::alloc_uninit(size));
    if (p) std::memcpy(p, data, static_cast<size_t>(size));
    return p;
}

// A copy of a text; a null text stays null. False when memory is short.
bool copy_text(const char *src, char **dst) {
    *dst = nullptr;
    if (!src) return true;
    *dst = fnQX_MEMSTRCOPY(src);
    return *dst != nullptr;
}

// Data, content type and name of one media item, all or nothing: copies, or
// the host's own pointers when it lends them (*lent set).
bool copy_media(const uint8_t *data, int size, const char *type, const char *name, uint8_t **dData, char **dType,
                char **dName, CpsHold hold, uint8_t *lent) {
    *lent = hold == CpsHold::Lend && data && size > 0;
    if (*lent) {
        *dData = const_cast<uint8_t *>(data);
        *dType = const_cast<char *>(type);
        *dName = const_cast<char *>(name);
        return true;
    }
    *dData = copy_data(data, size);
    if (*dData && copy_text(type, dType) && copy_text(name, dName)) return true;
    qx::free_ptr(*dData);
    qx::free_ptr(*dType);
    qx::free_ptr(*dName);
    return false;
}

// The four Reserved words of an image, video or text, carried unchanged
// (an audio clip has none).
template <typename To, typename From>
void copy_reserved(To &to, const From &from) {
    if constexpr (requires { from.Reserved; to.Reserved; })
        for (int i = 0; i < 4; ++i) to.Reserved[i] = from.Reserved[i];
}

// Moves the items of `src` into `dst` (which is in its initial state): the
// owned buffers change hands, src's pointers become null.
void move_slide(tCPS_SlideStruct &dst, tCPS_SlideStruct &src) {
    cps_each_kind([&](auto k) {
        using K = decltype(k);
        dst.*K::Has = src.*K::Has;
        if (src.*K::Has) {
            dst.*K::Rec = src.*K::Rec;
            src.*K::Rec = tCPS_MediaRec{};
        }
    });
    dst.Has_Text = src.Has_Text;
    if (src.Has_Text) {
        dst.Text = src.Text;
        src.Text.Data = nullptr;
    }
    dst.IsBgColor = src.IsBgColor;
    dst.bgColor = src.bgColor;
    dst.IsForeColor = src.IsForeColor;
    dst.foreColor = src.foreColor;
}

// The refusal of a K beside what the current slide holds, or 0.
template <CpsKind K>
int media_conflict() {
    if constexpr (K == CpsKind::Video) {
        if (CPS_CurHas<CpsKind::Video>()) return COMPOSER_ITEM_EXISTS;
        if (CPS_CurHas<CpsKind::Image>() || CPS_CurHas<CpsKind::Audio>()) return COMPOSER_IMAGE_AUDIO_EXISTS;
    } else {
        if (CPS_CurHas<CpsKind::Video>()) return COMPOSER_VIDEO_EXISTS;
        if (CPS_CurHas<K>()) return COMPOSER_ITEM_EXISTS;
    }
    return 0;
}

}  // namespace

template <CpsKind K>
int CPS_CurHas() {
    return cur_in_use() && cur_slide()->*CpsMedia<K>::Has ? 1 : 0;
}
int CPS_CurHasText() { return cur_in_use() && cur_slide()->Has_Text ? 1 : 0; }

template <CpsKind K>
int CPS_AddMedia(const typename CpsMedia<K>::Item *item, CpsHold hold) {
    using M = CpsMedia<K>;
    if (!item) return COMPOSER_INPUT_PARAM_ERROR;
    if (const int refused = media_conflict<K>()) return refused;
    if (!cur_in_use()) return COMPOSER_SLOT_NOT_IN_USE;
    tCPS_SlideStruct &s = *cur_slide();
    tCPS_MediaRec &r = s.*M::Rec;
    if (!copy_media(item->Data, item->Size, item->Content_Type, item->Name, &r.Data, &r.Content_Type, &r.Name, hold,
                    &r.Lent)) {
        s.*M::Has = 0;
        return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    r.Size = item->Size;
    r.Begin = item->Begin;
    r.End = item->End;
    copy_reserved(r, *item);
    s.*M::Has = 1;
    CPS_AddTotal(item->Size);
    return 0;
}

int CPS_AddText(const tCPS_TextItem *item) {
    if (!item) return COMPOSER_INPUT_PARAM_ERROR;
    if (CPS_CurHasText()) return COMPOSER_ITEM_EXISTS;
    if (!cur_in_use()) return COMPOSER_SLOT_NOT_IN_USE;
    tCPS_SlideStruct &s = *cur_slide();
    // Length + 1 bytes (zero-filled): the text up to its 0 byte, never more
    // than the stated length, and a 0 byte.
    if (item->Length < 0 || item->Length == INT32_MAX) {
        s.Has_Text = 0;
        return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    auto *copy = static_cast<char *>(fnQX_Malloc(item->Length + 1));
    if (!copy) {
        s.Has_Text = 0;
        return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    if (item->Text) {
        const void *nul = std::memchr(item->Text, 0, static_cast<size_t>(item->Length));
        const size_t n = nul ? static_cast<size_t>(static_cast<const char *>(nul) - item->Text)
                             : static_cast<size_t>(item->Length);
        std::memcpy(copy, item->Text, n);
    }
    s.Text.Data = copy;
    s.Text.Length = item->Length;
    s.Text.Begin = item->Begin;
    s.Text.End = item->End;
    copy_reserved(s.Text, *item);
    s.Has_Text = 1;
    CPS_AddTotal(item->Length);
    return 0;
}

int CPS_InsertSlide() {
    auto &m = cps_model();
    if (m.totalSlide >= CPS_MAX_SLIDES) return COMPOSER_FULL;
    const int c = m.Cur_Slide;
    if (c >= CPS_MAX_SLIDES - 1 || c < 0) return COMPOSER_SLOT_NOT_IN_USE;
    const int n = c + 1;
    if (!m.Slide_In_Use[n]) {
        m.Slide_In_Use[n] = 1;
        m.Slide_Dur[n] = CPS_DEFAULT_DURATION;
        CPS_InitSlide(*m.slidestruct[n]);
        ++m.totalSlide;
        m.Cur_Slide = n;
        return 0;
    }
    // Open a gap at n: the slides from n on move up by one.
    for (int t = m.totalSlide; t >= n + 1; --t) {
        CPS_InitSlide(*m.slidestruct[t]);
        m.Slide_In_Use[t] = 1;
        m.Slide_Dur[t] = m.Slide_Dur[t - 1];
        move_slide(*m.slidestruct[t], *m.slidestruct[t - 1]);
    }
    CPS_InitSlide(*m.slidestruct[n]);
    m.Slide_Dur[n] = CPS_DEFAULT_DURATION;
    m.Cur_Slide = n;
    ++m.totalSlide;
    return 0;
}

int CPS_SetCurDuration(int duration) {
    if (duration <= 0) return COMPOSER_INPUT_PARAM_ERROR;
    auto &m = cps_model();
    m.Slide_Dur[m.Cur_Slide] = duration;
    return 0;
}

int CPS_GetCurDuration() {
    auto &m = cps_model();
    return m.Slide_Dur[m.Cur_Slide];
}

namespace {

// Lending an item of the current slide (r, null when it has none): the
// refusal, or 0 after the times and Reserved words of *r are in `item`.
template <typename Item, typename Rec>
int lend(Item *item, const Rec *r) {
    if (!item) return COMPOSER_INPUT_PARAM_ERROR;
    if (!r) return COMPOSER_NO_ITEM;
    item->Begin = r->Begin;
    item->End = r->End;
    copy_reserved(*item, *r);
    return 0;
}

}  // namespace

template <CpsKind K>
int CPS_GetCurMedia(typename CpsMedia<K>::Item *item) {
    const tCPS_MediaRec *r = CPS_CurHas<K>() ? &(cur_slide()->*CpsMedia<K>::Rec) : nullptr;
    if (const int refused = lend(item, r)) return refused;
    item->Data = r->Data;
    item->Size = r->Size;
    item->Content_Type = r->Content_Type;
    item->Name = r->Name;
    return 0;
}

int CPS_GetCurText(tCPS_TextItem *item) {
    const tCPS_TextRec *r = CPS_CurHasText() ? &cur_slide()->Text : nullptr;
    if (const int refused = lend(item, r)) return refused;
    item->Text = r->Data;
    item->Length = r->Length;
    return 0;
}

int CPS_AddAttachment(const tCPS_AttachNode *node, CpsHold hold) {
    auto &m = cps_model();
    if (m.TotalAttachment >= CPS_MAX_ATTACHMENTS) return COMPOSER_FULL;
    if (!node) return COMPOSER_INPUT_PARAM_ERROR;
    tCPS_Attachment &a = *m.attachment[m.TotalAttachment];
    if (!copy_media(node->Data, node->Size, node->Content_Type, node->Name, &a.Data, &a.Content_Type, &a.Name, hold,
                    &a.Lent))
        return COMPOSER_MEMERY_ALLOC_FAIL;
    a.Size = node->Size;
    QX_LOG("Attachment->Name is:%s", node->Name ? node->Name : "(null)");
    QX_LOG("Name is:%s", a.Name ? a.Name : "(null)");
    ++m.TotalAttachment;
    CPS_AddTotal(node->Size);
    QX_LOG("TotalAttachment =%d ", m.TotalAttachment);
    return 0;
}

int CPS_GetAttachment(tCPS_Attachment *out, int index) {
    if (!out) return COMPOSER_INPUT_PARAM_ERROR;
    auto &m = cps_model();
    if (index < 0 || index >= CPS_MAX_ATTACHMENTS || !m.attachment[index]) return COMPOSER_INPUT_PARAM_ERROR;
    const tCPS_Attachment &a = *m.attachment[index];
    out->Data = a.Data;
    out->Name = a.Name;
    out->Content_Type = a.Content_Type;
    out->Size = a.Size;
    return 0;
}

int CPS_GetAttachmentNum() { return cps_model().TotalAttachment; }

template int CPS_CurHas<CpsKind::Image>();
template int CPS_CurHas<CpsKind::Audio>();
template int CPS_CurHas<CpsKind::Video>();
template int CPS_AddMedia<CpsKind::Image>(const tCPS_ImageItem *, CpsHold);
template int CPS_AddMedia<CpsKind::Audio>(const tCPS_AudioItem *, CpsHold);
template int CPS_AddMedia<CpsKind::Video>(const tCPS_VideoItem *, CpsHold);
template int CPS_GetCurMedia<CpsKind::Image>(tCPS_ImageItem *);
template int CPS_GetCurMedia<CpsKind::Audio>(tCPS_AudioItem *);
template int CPS_GetCurMedia<CpsKind::Video>(tCPS_VideoItem *);
