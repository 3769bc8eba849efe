// Compose operation: the host's slides and attachments are loaded into the
// model, written as SMIL and a multipart body, and encoded with the host's
// header as an m-send-req. Also the copying of the model out into fresh host
// lists, which the opening of stored and retrieved messages ends with.
#include <cstring>

#include "MMSCps_Operate.h"
#include "MMSCps_Public.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

// A copy of `size` bytes followed by a 0 byte; null when memory is short.
uint8_t *copy_data0(const uint8_t *data, int size) {
    if (size < 0 || size == INT32_MAX) return nullptr;
    auto *p = static_cast<uint8_t *>(qx::alloc_uninit(size + 1));
    if (!p) return nullptr;
    if (size > 0) {
        if (data)
            std::memcpy(p, data, static_cast<size_t>(size));
        else
            std::memset(p, 0, static_cast<size_t>(size));
    }
    p[size] = 0;
    return p;
}

// A copy of a text; a null text stays null. False when memory is short.
bool dup_text(const char *src, char **dst) {
    *dst = nullptr;
    if (!src) return true;
    *dst = fnQX_MEMSTRCOPY(src);
    return *dst != nullptr;
}

bool copy_host_media(const uint8_t *data, int size, const char *type, const char *name, unsigned char **dData,
                     char **dType, char **dName) {
    *dData = copy_data0(data, size);
    return *dData && dup_text(type, dType) && dup_text(name, dName);
}

void free_slide_node(tCPS_Slide *n) {
    if (!n) return;
    qx::free_ptr(n->Image.Data);
    qx::free_ptr(n->Image.Content_Type);
    qx::free_ptr(n->Image.Name);
    qx::free_ptr(n->Audio.Data);
    qx::free_ptr(n->Audio.Content_Type);
    qx::free_ptr(n->Audio.Name);
    qx::free_ptr(n->Video.Data);
    qx::free_ptr(n->Video.Content_Type);
    qx::free_ptr(n->Video.Name);
    qx::free_ptr(n->Text.Text);
    qx::free_ptr(n);
}

void free_attach_node(tCPS_AttachNode *n) {
    if (!n) return;
    qx::free_ptr(n->Data);
    qx::free_ptr(n->Name);
    qx::free_ptr(n->Content_Type);
    qx::free_ptr(n);
}

// One host slide node from the current slide; null when memory is short.
tCPS_Slide *slide_node_from_current() {
    auto *n = qx::alloc_rec<tCPS_Slide>();
    if (!n) return nullptr;
    bool ok = true;
    tCPS_AudioItem aud{};
    if (ok && CPS_GetCurAudio(&aud) == 0) {
        n->Has_Audio = 1;
        ok = copy_host_media(aud.Data, aud.Size, aud.Content_Type, aud.Name, &n->Audio.Data,
                             &n->Audio.Content_Type, &n->Audio.Name);
        n->Audio.Size = aud.Size;
        n->Audio.Begin = aud.Begin;
        n->Audio.End = aud.End;
    }
    tCPS_ImageItem img{};
    if (ok && CPS_GetCurImage(&img) == 0) {
        n->Has_Image = 1;
        ok = copy_host_media(img.Data, img.Size, img.Content_Type, img.Name, &n->Image.Data,
                             &n->Image.Content_Type, &n->Image.Name);
        n->Image.Size = img.Size;
        n->Image.Begin = img.Begin;
        n->Image.End = img.End;
    }
    tCPS_TextItem txt{};
    if (ok && CPS_GetCurText(&txt) == 0) {
        n->Has_Text = 1;
        n->Text.Text = reinterpret_cast<char *>(copy_data0(reinterpret_cast<const uint8_t *>(txt.Text), txt.Length));
        ok = n->Text.Text != nullptr;
        n->Text.Begin = txt.Begin;
        n->Text.End = txt.End;
        n->Text.Length = txt.Length;
    }
    tCPS_VideoItem vid{};
    if (ok && CPS_GetCurVideo(&vid) == 0) {
        n->Has_Video = 1;
        ok = copy_host_media(vid.Data, vid.Size, vid.Content_Type, vid.Name, &n->Video.Data,
                             &n->Video.Content_Type, &n->Video.Name);
        n->Video.Size = vid.Size;
        n->Video.Begin = vid.Begin;
        n->Video.End = vid.End;
    }
    n->Duration = CPS_GetCurDuration();
    if (!ok) {
        free_slide_node(n);
        return nullptr;
    }
    return n;
}

tCPS_AttachNode *attach_node_from(int index) {
    tCPS_Attachment tempAttachment{};
    if (CPS_GetAttachment(&tempAttachment, index) != 0) return nullptr;
    auto *n = qx::alloc_rec<tCPS_AttachNode>();
    if (!n) return nullptr;
    n->Size = tempAttachment.Size;
    n->Data = copy_data0(tempAttachment.Data, tempAttachment.Size);
    if (!n->Data || !dup_text(tempAttachment.Name, &n->Name) ||
        !dup_text(tempAttachment.Content_Type, &n->Content_Type)) {
        free_attach_node(n);
        return nullptr;
    }
    return n;
}

// A content type goes on the wire as a well-known code or as a text. A text
// that is empty or begins with a byte below 0x20 or of 0x80 or more would be
// read as a Value-length or as a code; one of the presentation's own type
// would be read as a second presentation in place of the message's. Such an
// item cannot travel as it is.
bool unwritable_type(const char *type) {
    if (!type) return false;
    const auto first = static_cast<uint8_t>(type[0]);
    return first < 0x20 || first >= 0x80 || fnQX_STRICMP(type, "application/smil") == 0;
}

// A text a reader would change by decoding encoded words in it goes out as
// an encoded word of its own; one that cannot (it is no UTF-8) is refused.
// 0, COMPOSER_INPUT_PARAM_ERROR or COMPOSER_MEMERY_ALLOC_FAIL.
int guard_text(const char *text, char **word) {
    switch (EncodedWordGuard(text, word)) {
        case WordGuard::AsIs:
        case WordGuard::Encoded: return 0;
        case WordGuard::Unwritable: return COMPOSER_INPUT_PARAM_ERROR;
        case WordGuard::NoMemory: break;
    }
    return COMPOSER_MEMERY_ALLOC_FAIL;
}

// 0 when the text can be written so that it reads back as it is.
int check_name(const char *name) {
    char *word = nullptr;
    const int r = guard_text(name, &word);
    qx::free_ptr(word);
    return r;
}

// Whether every item of the host's lists can be written so that it reads back
// as given: 0, or the composer's code for the first that cannot.
int host_items_writable(const tCPS_Slide *slides, const tCPS_AttachNode *attachments) {
    for (const tCPS_Slide *s = slides; s; s = s->next) {
        if ((s->Has_Image && unwritable_type(s->Image.Content_Type)) ||
            (s->Has_Audio && unwritable_type(s->Audio.Content_Type)) ||
            (s->Has_Video && unwritable_type(s->Video.Content_Type)))
            return COMPOSER_INPUT_PARAM_ERROR;
        int r = 0;
        if ((s->Has_Image && (r = check_name(s->Image.Name)) != 0) ||
            (s->Has_Audio && (r = check_name(s->Audio.Name)) != 0) ||
            (s->Has_Video && (r = check_name(s->Video.Name)) != 0))
            return r;
    }
    for (const tCPS_AttachNode *a = attachments; a; a = a->next) {
        if (unwritable_type(a->Content_Type)) return COMPOSER_INPUT_PARAM_ERROR;
        if (const int r = check_name(a->Name)) return r;
    }
    return 0;
}

}  // namespace

void CPS_FreeHostSlides(tCPS_Slide *first) {
    while (first) {
        tCPS_Slide *next = first->next;
        free_slide_node(first);
        first = next;
    }
}

void CPS_FreeHostAttachments(tCPS_AttachNode *first) {
    while (first) {
        tCPS_AttachNode *next = first->next;
        free_attach_node(first);
        first = next;
    }
}

int CPS_LoadHostSlides(const tCPS_Slide *first) {
    if (!first) {
        QX_LOG("pIter=null,COMPOSER_INPUT_PARAM_ERROR");
        return COMPOSER_INPUT_PARAM_ERROR;
    }
    for (const tCPS_Slide *pIter = first; pIter; pIter = pIter->next) {
        if (pIter->Has_Video && (pIter->Has_Image || pIter->Has_Audio)) {
            QX_LOG("check slide error.");
            return COMPOSER_INPUT_PARAM_ERROR;
        }
        // A duration of 0 or less is refused and the slide keeps 12000 ms.
        (void)CPS_SetCurDuration(pIter->Duration);
        int r = 0;
        if (pIter->Has_Audio && (r = CPS_AddAudio(&pIter->Audio)) != 0) return r;
        if (pIter->Has_Image && (r = CPS_AddImage(&pIter->Image)) != 0) return r;
        if (pIter->Has_Text && (r = CPS_AddText(&pIter->Text)) != 0) return r;
        if (pIter->Has_Video && (r = CPS_AddVideo(&pIter->Video)) != 0) return r;
        if (pIter->next && (r = CPS_InsertSlide()) != 0) return r;
    }
    return 0;
}

int CPS_LoadHostAttachments(const tCPS_AttachNode *first) {
    if (!first) {
        QX_LOG("pIter=NULL,COMPOSER_INPUT_PARAM_ERROR.");
        return COMPOSER_INPUT_PARAM_ERROR;
    }
    for (const tCPS_AttachNode *pIter = first; pIter; pIter = pIter->next) {
        const int r = CPS_AddAttachment(pIter);
        if (r != 0) return r;
    }
    return 0;
}

// The lists are written into mmsDatabuf only when all of them were built: a
// node that cannot be copied fails the whole operation rather than leaving a
// slide or an attachment out.
int CPS_BuildHostLists(tCPS_MmsData *mmsDatabuf) {
    auto &m = cps_model();
    if (m.totalSlide == 0) {
        QX_LOG("totalSlide=0 COMPOSER_INPUT_PARAM_ERROR");
        return COMPOSER_INPUT_PARAM_ERROR;
    }
    tCPS_Slide *slides = nullptr;
    tCPS_Slide **slideTail = &slides;
    int slideCount = 0;
    for (int k = 0; k < m.totalSlide && k < CPS_MAX_SLIDES; ++k) {
        if (!m.slidestruct[k] || m.Slide_In_Use[k] != 1) continue;
        m.Cur_Slide = k;
        tCPS_Slide *n = slide_node_from_current();
        if (!n) {
            CPS_FreeHostSlides(slides);
            return COMPOSER_MEMERY_ALLOC_FAIL;
        }
        *slideTail = n;
        slideTail = &n->next;
        ++slideCount;
    }
    tCPS_AttachNode *attachments = nullptr;
    tCPS_AttachNode **attachTail = &attachments;
    int attachCount = 0;
    for (int a = 0; a < m.TotalAttachment && a < CPS_MAX_ATTACHMENTS; ++a) {
        tCPS_AttachNode *n = attach_node_from(a);
        if (!n) {
            CPS_FreeHostSlides(slides);
            CPS_FreeHostAttachments(attachments);
            return COMPOSER_MEMERY_ALLOC_FAIL;
        }
        *attachTail = n;
        attachTail = &n->next;
        ++attachCount;
    }
    mmsDatabuf->Slide_Num = slideCount;
    mmsDatabuf->pSlide_List = slides;
    mmsDatabuf->Attach_Num = attachCount;
    mmsDatabuf->pAttach_List = attachments;
    return 0;
}

// Action 0: a new message from the host's lists and send-request header.
int CPS_ComposeNew(tCPS_MmsData *mmsDatabuf, tCPS_PduBuf *pMMSPduBuf) {
    // A send request needs a Transaction-Id (an empty one does not decode):
    // a request without one is refused before anything is touched. So is one
    // that begins with a control byte, which a reader of the Text-string may
    // take for a length: it is no identifier a relay would echo.
    const char *tid = mmsDatabuf->Header.Send_Req.Transaction_Id;
    if (!tid || !tid[0] || static_cast<uint8_t>(tid[0]) < 0x20) {
        QX_LOG("Transaction_Id==null COMPOSER_INPUT_PARAM_ERROR");
        return COMPOSER_INPUT_PARAM_ERROR;
    }
    if (const int r = host_items_writable(mmsDatabuf->pSlide_List, mmsDatabuf->pAttach_List)) {
        if (r == COMPOSER_INPUT_PARAM_ERROR) QX_LOG("check slide error.");
        return r;
    }
    // The encoder writes a subject with encoded words as one of its own; one
    // that cannot be so written is refused here.
    if (const int r = check_name(mmsDatabuf->Header.Send_Req.Subject)) return r;
    const int opened = CPS_OpenModel();
    if (opened != 0) return opened;  // left open by an operation that did not end
    qx::ScopeGuard close([] { CPS_CloseModel(); });

    if (mmsDatabuf->pSlide_List) {
        const int r = CPS_LoadHostSlides(mmsDatabuf->pSlide_List);
        if (r != 0) return r;
    }
    if (mmsDatabuf->pAttach_List) {
        const int r = CPS_LoadHostAttachments(mmsDatabuf->pAttach_List);
        if (r != 0) return r;
    }
    // A model that fails validation gives no body: the send request then
    // goes out with an empty ContentTypeAndBody.
    int bodyLen = 0;
    int bodyErr = 0;
    uint8_t *body = CPS_BuildBody(&bodyLen, &bodyErr);
    if (bodyErr != 0) return bodyErr;

    // The encoded body is the request's ContentTypeAndBody as it is (a
    // model that failed validation gives an empty one).
    tMMS_SendReq req = mmsDatabuf->Header.Send_Req;
    req.ContentTypeAndBody = body ? body : copy_data0(nullptr, 0);
    req.Body_Len = bodyLen;
    if (!req.ContentTypeAndBody) {
        QX_LOG("ContentTypeAndBody  MEMERY_ALLOC_FAIL");
        return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    int pduLen = 0;
    uint8_t *pdu = fnMMS_MakeSendReqPdu(&req, &pduLen);
    qx::free_ptr(req.ContentTypeAndBody);
    // The encoder's buffer goes to the host when a 0 byte already follows
    // the PDU in it; otherwise a copy with one is made.
    uint8_t *out = pdu;
    if (pdu && pdu[pduLen] != 0) {
        out = copy_data0(pdu, pduLen);
        qx::free_ptr(pdu);
    }
    if (!out) {
        QX_LOG("COMPOSER_MEMERY_ALLOC_FAIL");
        return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    pMMSPduBuf->data = out;
    pMMSPduBuf->length = pduLen;
    mmsDatabuf->Header.Send_Req.ContentTypeAndBody = nullptr;
    mmsDatabuf->Header.Send_Req.Body_Len = bodyLen;
    return 0;
}

extern "C" RORODIRE_API int fnCPS_ComposeMMS(tCPS_MmsData *mmsDatabuf, tCPS_PduBuf *pMMSPduBuf, int action) {
    if (!mmsDatabuf || !pMMSPduBuf) {
        QX_LOG("mmsDatabuf==null or pMMSPduBuf==null");
        return COMPOSER_INPUT_PARAM_ERROR;
    }
    switch (action) {
        case 0: return CPS_ComposeNew(mmsDatabuf, pMMSPduBuf);
        case 1: return CPS_OpenStored(mmsDatabuf, pMMSPduBuf);
        default:
            QX_LOG("action error!");
            return COMPOSER_INPUT_PARAM_ERROR;
    }
}
