// The composer's message model: one message of up to ten slides and ten
// attachments, opened and closed around every compose or parse operation.
#include <climits>
#include <cstddef>

#include "MMSCps_Public.h"
#include "qx_internal.h"

tCPS_State g_cps = [] {
    tCPS_State s{};
    s.Busy = 0;
    return s;
}();

namespace {

// The host records are part of the C ABI: their layout on LP64 is fixed.
static_assert(sizeof(void *) != 8 || (offsetof(tCPS_ImageItem, Content_Type) == 8 &&
                                      offsetof(tCPS_ImageItem, Name) == 16 && offsetof(tCPS_ImageItem, Begin) == 24 &&
                                      offsetof(tCPS_ImageItem, End) == 28 && offsetof(tCPS_ImageItem, Size) == 32 &&
                                      offsetof(tCPS_ImageItem, Reserved) == 36 && sizeof(tCPS_ImageItem) == 56));
static_assert(sizeof(void *) != 8 || (offsetof(tCPS_VideoItem, Size) == 32 && sizeof(tCPS_VideoItem) == 56));
static_assert(sizeof(void *) != 8 || (offsetof(tCPS_AudioItem, Begin) == 24 && offsetof(tCPS_AudioItem, Size) == 32 &&
                                      sizeof(tCPS_AudioItem) == 40));
static_assert(sizeof(void *) != 8 || (offsetof(tCPS_TextItem, Begin) == 8 && offsetof(tCPS_TextItem, Length) == 16 &&
                                      offsetof(tCPS_TextItem, Reserved) == 20 && sizeof(tCPS_TextItem) == 40));
static_assert(sizeof(void *) != 8 ||
              (offsetof(tCPS_Slide, Audio) == 56 && offsetof(tCPS_Slide, Video) == 96 &&
               offsetof(tCPS_Slide, Text) == 152 && offsetof(tCPS_Slide, Has_Image) == 192 &&
               offsetof(tCPS_Slide, Has_Text) == 204 && offsetof(tCPS_Slide, Duration) == 208 &&
               offsetof(tCPS_Slide, Reserved) == 212 && offsetof(tCPS_Slide, next) == 216 && sizeof(tCPS_Slide) == 224));
static_assert(sizeof(void *) != 8 ||
              (offsetof(tCPS_AttachNode, Name) == 8 && offsetof(tCPS_AttachNode, Content_Type) == 16 &&
               offsetof(tCPS_AttachNode, Size) == 24 && offsetof(tCPS_AttachNode, Reserved) == 28 &&
               offsetof(tCPS_AttachNode, next) == 32 && sizeof(tCPS_AttachNode) == 40));
static_assert(sizeof(void *) != 8 || (sizeof(tMMS_SendReq) == 104 && sizeof(tMMS_RetrieveConf) == 80));
static_assert(sizeof(void *) != 8 ||
              (offsetof(tCPS_MmsData, pSlide_List) == 8 && offsetof(tCPS_MmsData, Attach_Num) == 16 &&
               offsetof(tCPS_MmsData, pAttach_List) == 24 && offsetof(tCPS_MmsData, Header) == 32 &&
               offsetof(tCPS_MmsData, Header.Retrieve.Retrieve_Pdu_Size) == 32 + 80 &&
               offsetof(tCPS_MmsData, Pdu_Size) == 136 && sizeof(tCPS_MmsData) == 144));

// Releases the slide's media and puts its items back to their initial
// values; the colours stay.
void clear_slide(tCPS_SlideStruct &s) {
    cps_each_kind([&s](auto k) {
        using K = decltype(k);
        tCPS_MediaRec &r = s.*K::Rec;
        if (!r.Lent) {
            qx::free_ptr(r.Data);
            qx::free_ptr(r.Content_Type);
            qx::free_ptr(r.Name);
        }
        r = tCPS_MediaRec{};
        r.End = CPS_DEFAULT_END;
        s.*K::Has = 0;
    });
    qx::free_ptr(s.Text.Data);
    s.Has_Text = 0;
    s.Text = tCPS_TextRec{};
    s.Text.End = CPS_DEFAULT_END;
}

void clear_attachment(tCPS_Attachment &a) {
    if (!a.Lent) {
        qx::free_ptr(a.Data);
        qx::free_ptr(a.Name);
        qx::free_ptr(a.Content_Type);
    }
    a = tCPS_Attachment{};
}

}  // namespace

void CPS_InitSlide(tCPS_SlideStruct &s) {
    s = tCPS_SlideStruct{};
    s.Image.End = s.Text.End = s.Audio.End = s.Video.End = CPS_DEFAULT_END;
    s.bgColor = CPS_DEFAULT_BGCOLOR;
    s.foreColor = CPS_DEFAULT_FORECOLOR;
}

void CPS_AddTotal(int size) {
    auto &m = cps_model();
    if (size <= 0) return;
    m.Total_Size = (m.Total_Size > INT_MAX - size) ? INT_MAX : m.Total_Size + size;
}

int CPS_InitModel() {
    auto &m = cps_model();
    m.totalSlide = 1;
    m.TotalAttachment = 0;
    m.Cur_Slide = 0;
    m.Total_Size = 0;
    for (int i = 0; i < CPS_MAX_SLIDES; ++i) {
        m.Slide_In_Use[i] = 0;
        m.Slide_Dur[i] = CPS_DEFAULT_DURATION;
        m.slidestruct[i] = &m.Slide_Store[i];
        CPS_InitSlide(m.Slide_Store[i]);
    }
    m.Slide_In_Use[0] = 1;
    for (int i = 0; i < CPS_MAX_ATTACHMENTS; ++i) {
        m.attachment[i] = &m.Attach_Store[i];
        m.Attach_Store[i] = tCPS_Attachment{};
    }
    return 0;
}

void CPS_ResetModel() {
    auto &m = cps_model();
    m.Cur_Slide = 0;
    m.Total_Size = 0;
    for (int i = 0; i < CPS_MAX_SLIDES; ++i) {
        m.Slide_In_Use[i] = 0;
        m.Slide_Dur[i] = CPS_DEFAULT_DURATION;
        if (m.slidestruct[i]) clear_slide(*m.slidestruct[i]);
    }
    m.Slide_In_Use[0] = 1;
    m.totalSlide = 1;
    for (int i = 0; i < CPS_MAX_ATTACHMENTS; ++i)
        if (m.attachment[i]) clear_attachment(*m.attachment[i]);
    m.TotalAttachment = 0;
}

int CPS_OpenModel() {
    if (g_cps.Busy) return COMPOSER_BUSY;
    g_cps.Busy = 1;
    CPS_InitModel();
    return 0;
}

void CPS_CloseModel() {
    CPS_ResetModel();
    g_cps.Busy = 0;
}
