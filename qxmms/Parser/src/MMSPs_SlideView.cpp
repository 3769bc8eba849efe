// Slide view of a message body: runs the SMIL interpreter (or builds simple
// slides for a body without presentation), lists the parts no slide uses as
// attachments, and answers the composer's fnPAR_ queries.
#include <cstring>

#include "MMSPs_SlideView.h"
#include "MMSPs_Parse_State.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

void clear_marks(tMMS_Element *first) {
    for (tMMS_Element *p = first; p; p = p->next) p->IsSmil = 0;
}

void free_attachment(tSMIL_Attachment *a) {
    if (!a) return;
    qx::free_ptr(a->Alt);
    qx::free_ptr(a->Type);
    qx::free_ptr(a->Name);
    qx::free_ptr(a);
}

// A par's media list entry, the one met last in the presentation.
template <typename R>
R *first_of(R *tSMIL_Par::*list) {
    tSMIL_Par *par = SmilView().CurPar;
    return par ? par->*list : nullptr;
}

// An end that is not after the begin lasts the par's duration (or 5 s).
int32_t end_of(int32_t begin, int32_t end) {
    if (begin < end) return end;
    const int32_t dur = SmilView().CurPar->Dur;
    return smil::sat_add(begin, dur > 0 ? dur : 5000);
}

// Region and times of a text or clip.
template <typename Info, typename R>
void fill_place(Info *info, const R *rec) {
    info->Left = rec->Region.Left;
    info->Top = rec->Region.Top;
    info->Width = rec->Region.Width;
    info->Height = rec->Region.Height;
    info->Begin = rec->Begin;
    info->End = end_of(rec->Begin, rec->End);
}

void fill_media(tPAR_MediaInfo *info, const tSMIL_Media *rec) {
    fill_place(info, rec);
    info->Data = rec->Data;
    info->Type = rec->Type;
    info->Name = rec->Name;
    info->Length = rec->Length;
    if (SmilIsDrmContentType(rec->Type)) {
        info->IsDrm = 1;
        info->DrmType = SmilGetDrmType(rec->Type, rec->Data, rec->Length, nullptr, nullptr);
    }
    if (rec->DrmType == SMIL_DRM_FORWARD) {
        info->IsDrm = 1;
        info->DrmType = SMIL_DRM_FORWARD;
        info->FwdParam = rec->FwdParam;
        info->FwdParamLen = rec->FwdParamLen;
    }
}

int get_media(tPAR_MediaInfo *info, tSMIL_Media *tSMIL_Par::*list) {
    if (!info) return 0;
    const tSMIL_Media *rec = first_of(list);
    if (!rec) return 0;
    fill_media(info, rec);
    return 1;
}

// Element lists of the slide builder for bodies without presentation.
struct PartNode {
    tMMS_Element *part;
    PartNode *next;
};

struct PartList {
    PartNode *head = nullptr;
    PartNode *tail = nullptr;

    bool append(tMMS_Element *p) {
        PartNode *n = smil::checked(qx::alloc_rec<PartNode>());
        if (!n) return false;
        n->part = p;
        (tail ? tail->next : head) = n;
        tail = n;
        return true;
    }
    tMMS_Element *pop() {
        PartNode *n = head;
        if (!n) return nullptr;
        head = n->next;
        if (!head) tail = nullptr;
        tMMS_Element *p = n->part;
        qx::free_ptr(n);
        return p;
    }
    ~PartList() {
        while (head) pop();
    }
};

template <typename R>
bool add_slide_media(tMMS_Element *part, R *rec, int (*load)(R *, const char *), int (*add)(R *), void (*release)(R *)) {
    const char *src = smil::part_name(part);
    if (!src) {
        release(rec);
        return true;
    }
    if (!load(rec, src) || !add(rec)) {
        release(rec);
        return false;
    }
    return true;
}

// A new par of 20 s, the current one.
bool add_slide_par() {
    tSMIL_Par *par = smil::checked(qx::alloc_rec<tSMIL_Par>());
    if (!par) return false;
    par->Dur = 20000;
    SmilAddPar(par);
    return true;
}

// The text of a part on the current par, in the text region.
bool add_slide_text(tMMS_Element *p) {
    tSMIL_Text *t = smil::checked(qx::alloc_rec<tSMIL_Text>());
    if (!t) return false;
    t->Region = tSMIL_Rect{0, 0, 160, 30};
    return add_slide_media(p, t, SmilLoadText, SmilAddText, SmilFreeText);
}

// An image, audio or video part on the current par.
bool add_slide_clip(tMMS_Element *p, int (*add)(tSMIL_Media *), tSMIL_Rect region, int32_t end) {
    tSMIL_Media *m = smil::checked(qx::alloc_rec<tSMIL_Media>());
    if (!m) return false;
    m->End = end;
    m->Region = region;
    return add_slide_media(p, m, SmilLoadMedia, add, SmilFreeMedia);
}

// A body that is one part: a text (text/plain in any letter case) is shown
// on one slide; any other part is left to the attachment list.
bool build_single_part_slide(tMMS_Element *part) {
    if (!part || SmilGetMediaKind(part->Content_Type) != SMIL_KIND_TEXT) return true;
    return add_slide_par() && add_slide_text(part);
}

}  // namespace

// ---------------------------------------------------------------- building

int SmilAddAttachment(tSMIL_Attachment *a) {
    if (!a) return 0;
    tSMIL_ViewStruct &v = SmilView();
    a->pNext = nullptr;
    if (!v.pAttachment) {
        a->pPrev = nullptr;
        v.pAttachment = a;
        SmilState().AttachTail = a;
        return 1;
    }
    tSMIL_ParserState &st = SmilState();
    tSMIL_Attachment *last = st.AttachTail ? st.AttachTail : v.pAttachment;
    while (last->pNext) last = last->pNext;
    last->pNext = a;
    a->pPrev = last;
    st.AttachTail = a;
    return 1;
}

int SmilParserNoSmilMMS(tMMS_Element *first) {
    QX_LOG("entry SmilParserNoSmilMMS");
    int position = 0;
    for (tMMS_Element *p = first; p; p = p->next, ++position) {
        QX_LOG("pTemp->IsSmil = %d", p->IsSmil);
        if (p->IsSmil) continue;
        tSMIL_Attachment *a = smil::checked(qx::alloc_rec<tSMIL_Attachment>());
        if (!a) return 0;
        a->Data = p->Data;
        a->Length = p->Data ? p->Data_Len : 0;
        if (p->Content_Type) {
            a->Type = smil::checked(fnQX_MEMSTRCOPY(p->Content_Type));
            if (!a->Type) {
                free_attachment(a);
                return 0;
            }
        }
        if (SmilIsDrmContentType(p->Content_Type)) {
            int32_t headerLen = 0;
            a->DrmType = SmilGetDrmType(p->Content_Type, p->Data, p->Data_Len, &headerLen, nullptr);
            if ((a->DrmType == SMIL_DRM_CONTENT || a->DrmType == SMIL_DRM_WRAPPED) && headerLen > 0 &&
                headerLen <= a->Length) {
                a->Data += headerLen;
                a->Length -= headerLen;
            }
        }
        if (p->Fwd_Present == 1) {
            a->DrmType = SMIL_DRM_FORWARD;
            a->FwdParam = p->Fwd_Param;
            a->FwdParamLen = p->Fwd_Param_Len;
        }
        QX_LOG("pAttachment->Type: %s", a->Type ? a->Type : "(null)");
        if (const char *name = smil::part_name(p)) {
            a->Name = smil::checked(fnQX_MEMSTRCOPY(name));
        } else {
            a->Name = smil::checked(static_cast<char *>(fnQX_Malloc(SMIL_DEFAULT_NAME_SIZE)));
            if (a->Name) SmilGetDefaultName(a->Name, a->Type, position);
        }
        if (!a->Name) {
            free_attachment(a);
            return 0;
        }
        SmilAddAttachment(a);
    }
    return 1;
}

int SmilBuildNoSmilSlides(tMMS_Element *first) {
    PartList texts, images, audios, videos;
    // The list of a media kind (text, image, audio, video); null for others.
    auto list_of = [&](int kind) -> PartList * {
        switch (kind) {
        case SMIL_KIND_TEXT: return &texts;
        case SMIL_KIND_IMAGE: return &images;
        case SMIL_KIND_AUDIO: return &audios;
        case SMIL_KIND_VIDEO: return &videos;
        default: return nullptr;
        }
    };
    for (tMMS_Element *p = first; p; p = p->next) {
        if (p->IsSmil) continue;
        const int kind = SmilGetMediaKind(p->Content_Type);
        PartList *to = list_of(kind);
        if (kind == SMIL_KIND_FAILED) return 0;
        if (kind == SMIL_KIND_TEXT && fnQX_STRCMP(p->Content_Type, "text/plain") != 0 && p->Has_Charset != 1) {
            QX_LOG("pNewElement->Content_Type:is not text/plain");
            to = nullptr;
        } else if (!to) {
            char inner[SMIL_DRM_INNER_TYPE_SIZE] = {};
            if (SmilGetDrmType(p->Content_Type, p->Data, p->Data_Len, nullptr, inner) == SMIL_DRM_MESSAGE)
                to = list_of(SmilGetMediaKind(inner));
        }
        if (to && !to->append(p)) return 0;
    }

    while (texts.head || images.head || audios.head || videos.head) {
        if (!add_slide_par()) return 0;
        if (tMMS_Element *p = texts.pop())
            if (!add_slide_text(p)) return 0;
        // Image and audio share a slide; a video has one of its own.
        const bool hasImage = images.head != nullptr, hasAudio = audios.head != nullptr;
        if (hasImage && !add_slide_clip(images.pop(), SmilAddImg, tSMIL_Rect{0, 0, 160, 170}, 5000)) return 0;
        if (hasAudio && !add_slide_clip(audios.pop(), SmilAddAud, tSMIL_Rect{}, 5000)) return 0;
        if (!hasImage && !hasAudio && videos.head && !add_slide_clip(videos.pop(), SmilAddVideo, tSMIL_Rect{}, 0))
            return 0;
    }
    return 1;
}

int SmilParserSmilMMS(mmresstruct *body) {
    QX_LOG("entry SmilParserSmilMMS");
    if (!body || !body->Smil) return 0;
    const smilstruct *s = body->Smil;
    QX_LOG("SMIL BEGIN len:%d\n", s->Data_Len);
    if (qx::log_enabled() && s->Data) {
        char piece[51];
        for (int off = 0; off < s->Data_Len; off += 50) {
            const int n = s->Data_Len - off < 50 ? s->Data_Len - off : 50;
            std::memcpy(piece, s->Data + off, static_cast<size_t>(n));
            piece[n] = '\0';
            QX_LOG("%s", piece);
        }
    }
    QX_LOG("SMIL END\n");
    SmilSetSource(reinterpret_cast<const char *>(s->Data), s->Data_Len);
    if (!SmilParseSmil()) {
        QX_LOG("SmilParseSmil error");
        return 0;
    }
    if (SmilParserNoSmilMMS(SmilGetPartList())) {
        QX_LOG("SmilParserNoSmilMMS return TRUE");
        return 1;
    }
    QX_LOG("SmilParserNoSmilMMS return FALSE");
    return 0;
}

// ---------------------------------------------------------------- queries

namespace {

// The view of a decoded body: PAR_VIEW_BUILT, or PAR_REFUSED when not even
// the attachment list could be built.
int build_view(mmresstruct *body) {
    if (body->Smil) {
        if (SmilParserSmilMMS(body)) return PAR_VIEW_BUILT;
        SmilFreeView();
        SmilInitView();
        // Parts taken by the failed presentation are listed too: none is lost.
        clear_marks(body->Parts);
        return SmilParserNoSmilMMS(body->Parts) ? PAR_VIEW_BUILT : PAR_REFUSED;
    }
    if (body->Single_Part) {
        if (!build_single_part_slide(body->Parts)) return PAR_REFUSED;
    } else if (!SmilBuildNoSmilSlides(body->Parts)) {
        return PAR_REFUSED;
    }
    return SmilParserNoSmilMMS(body->Parts) ? PAR_VIEW_BUILT : PAR_REFUSED;
}

}  // namespace

int fnPAR_ParseMMS(const uint8_t *data, int length) {
    if (!data || length <= 0) return PAR_REFUSED;
    // A view still held from an earlier call is released, not leaked.
    if (SmilState().Body || SmilView().pParHead || SmilView().pAttachment || SmilView().pRegion) fnPAR_Release();
    SmilState().NoMemory = false;
    MmsDecodeFault fault = MmsDecodeFault::None;
    mmresstruct *body = fnMMS_DecodeBody(data, length, &fault);
    SmilInitView();
    if (!body) return fault == MmsDecodeFault::NoMemory ? PAR_NO_MEMORY : PAR_REFUSED;
    SmilState().Body = body;
    SmilState().TextBudget = SMIL_TEXT_BUDGET_FLOOR + SMIL_TEXT_BUDGET_FACTOR * static_cast<int64_t>(length);
    SmilSetPartList(body->Parts);
    clear_marks(body->Parts);
    const int built = build_view(body);
    return SmilState().NoMemory ? PAR_NO_MEMORY : built;
}

void fnPAR_Release() {
    SmilFreeView();
    tSMIL_ParserState &st = SmilState();
    // The body is released even when it has no part besides the SMIL part.
    if (st.Body) fnMMS_FreeDecodedBody(st.Body);
    st.Body = nullptr;
    st.PartList = nullptr;
    st.Cursor = nullptr;
    st.Remain = 0;
}

void fnPAR_FirstSlide() {
    tSMIL_ViewStruct &v = SmilView();
    v.CurPar = v.pParHead;
}

int fnPAR_NextSlide() {
    tSMIL_ViewStruct &v = SmilView();
    if (!v.CurPar || !v.CurPar->pNext) return 0;
    v.CurPar = v.CurPar->pNext;
    return 1;
}

int fnPAR_IsEmpty() { return SmilView().CurPar ? 0 : 1; }

int fnPAR_GetDur() {
    const tSMIL_Par *par = SmilView().CurPar;
    return par ? par->Dur : 0;
}

int fnPAR_GetText(tPAR_TextInfo *info) {
    if (!info) return 0;
    const tSMIL_Text *t = first_of(&tSMIL_Par::pText);
    if (!t) return 0;
    fill_place(info, t);
    info->Text = t->Text;
    return 1;
}

int fnPAR_GetImg(tPAR_ImgInfo *info) { return get_media(info, &tSMIL_Par::pImg); }
int fnPAR_GetAud(tPAR_AudInfo *info) {
    // An audio clip has no place on the screen: whatever region the SMIL
    // named, it reports none.
    if (!get_media(info, &tSMIL_Par::pAud)) return 0;
    info->Left = info->Top = info->Width = info->Height = 0;
    return 1;
}
int fnPAR_GetVideo(tPAR_VideoInfo *info) { return get_media(info, &tSMIL_Par::pVideo); }

int fnPAR_GetBgColor(uint32_t *color) {
    const tSMIL_ViewStruct &v = SmilView();
    if (!color || !v.CurPar) return 0;
    if (v.CurPar->IsBgColor) {
        *color = v.CurPar->bgColor;
        QX_LOG("*bgColor:%x", *color);
        return 1;
    }
    if (v.IsBgColor) {
        *color = v.bgColor;
        return 1;
    }
    return 0;
}

int fnPAR_GetForeColor(uint32_t *color) {
    const tSMIL_Par *par = SmilView().CurPar;
    if (!color || !par || !par->IsForeColor) return 0;
    *color = par->foreColor;
    QX_LOG("*foreColor:%x", *color);
    return 1;
}

int fnPAR_GetAttachmentNum() {
    int n = 0;
    for (const tSMIL_Attachment *a = SmilView().pAttachment; a; a = a->pNext) ++n;
    return n;
}

int fnPAR_GetAttachment(tPAR_AttachInfo *info, uint32_t index) {
    if (!info) return 0;
    tSMIL_ParserState &st = SmilState();
    tSMIL_Attachment *a = st.View.pAttachment;
    uint32_t i = 0;
    if (st.AttachCursor && st.AttachCursorIndex <= index) {  // reading on from the last position
        a = st.AttachCursor;
        i = st.AttachCursorIndex;
    }
    for (; a && i < index; ++i) a = a->pNext;
    if (!a) return 0;
    st.AttachCursor = a;
    st.AttachCursorIndex = index;
    info->Name = a->Name;
    info->Type = a->Type;
    info->Data = a->Data;
    info->Length = a->Length;
    info->DrmType = a->DrmType;
    info->FwdParam = a->FwdParam;
    info->FwdParamLen = a->FwdParamLen;
    QX_LOG("end  fnPAR_GetAttachment");
    return 1;
}
