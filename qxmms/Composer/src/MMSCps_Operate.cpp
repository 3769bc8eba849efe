// Compose operation: the host's slides and attachments are loaded into the
// model, written as SMIL and a multipart body, and encoded with the host's
// header as an m-send-req. Also the release of host lists the composer built.
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
