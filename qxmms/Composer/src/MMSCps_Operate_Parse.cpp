// Opening a stored send request (action 1) and a retrieved message: the PDU
// is decoded, its header copied for the host, and its body turned into the
// host's slides and attachments through the presentation parser's slide
// view.
#include <cstring>

#include "MMSCps_Operate.h"
#include "MMSCps_Public.h"
#include "MMSPs_SlideView.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

constexpr const char *kDrmTypes[] = {
    "application/vnd.oma.drm.message",
    "application/vnd.oma.drm.content",
    "application/vnd.oma.drm.rights+xml",
    "application/vnd.oma.drm.rights+wbxml",
};
constexpr int kDrmCombinedDelivery = 3;

bool is_drm_type(const char *type) {
    if (!type) return false;
    for (const char *t : kDrmTypes)
        if (std::strcmp(type, t) == 0) return true;
    return false;
}

// `size` bytes and a 0 byte; a null source gives a single 0 byte.
uint8_t *copy_bytes0(const uint8_t *data, int size) {
    if (size < 0 || size == INT32_MAX) return nullptr;
    auto *p = static_cast<uint8_t *>(qx::alloc_uninit(size + 1));
    if (!p) return nullptr;
    if (data && size > 0)
        std::memcpy(p, data, static_cast<size_t>(size));
    else if (size > 0)
        std::memset(p, 0, static_cast<size_t>(size));
    p[size] = 0;
    return p;
}

bool dup(const char *src, char **dst) {
    *dst = nullptr;
    if (!src) return true;
    *dst = fnQX_MEMSTRCOPY(src);
    return *dst != nullptr;
}

// Why a PDU gave no header record: a shortage of memory is reported as such,
// anything else as a PDU that does not decode.
int undecoded(const tMMS_DecodeReport &why, const char *invalid) {
    if (why.fault == MmsDecodeFault::NoMemory) return COMPOSER_MEMERY_ALLOC_FAIL;
    QX_LOG("%s", invalid);
    return COMPOSER_PDU_INVALID;
}

// The host's lists of a received message, built straight from the slide
// view: every slide and every attachment of the message reaches the host
// (the model's ten slots are for composing). Slides may show the same part
// again and again, each time as a copy of its own; the bytes copied are
// bounded by the message's size so that a small message cannot make the
// host's lists huge.
struct HostLists {
    tCPS_Slide *slides = nullptr;
    tCPS_Slide **slideTail = &slides;
    int slideCount = 0;
    tCPS_AttachNode *attachments = nullptr;
    tCPS_AttachNode **attachTail = &attachments;
    int attachCount = 0;
    int64_t budget = 0;  // bytes that may still be copied
    bool overBudget = false;

    explicit HostLists(int bodyLen) : budget(kCopyFloor + kCopyFactor * static_cast<int64_t>(bodyLen > 0 ? bodyLen : 0)) {}
    HostLists(const HostLists &) = delete;
    HostLists &operator=(const HostLists &) = delete;

    static constexpr int64_t kCopyFloor = 16 << 20;
    static constexpr int64_t kCopyFactor = 16;

    // Charges n bytes; false (and over budget) when they do not fit.
    bool charge(int64_t n) {
        if (n > budget) {
            overBudget = true;
            return false;
        }
        budget -= n;
        return true;
    }
    // `size` bytes and a 0 byte, within the budget; null otherwise.
    uint8_t *copy0(const uint8_t *data, int size) { return charge(size + 1) ? copy_bytes0(data, size) : nullptr; }
    bool text(const char *src, char **dst) {
        *dst = nullptr;
        return !src || ((*dst = reinterpret_cast<char *>(
                             copy0(reinterpret_cast<const uint8_t *>(src), static_cast<int>(std::strlen(src))))) != nullptr);
    }
    template <typename Item>
    bool media(Item &dst, const uint8_t *data, int size, const char *type, const char *name, int begin, int end) {
        dst.Size = size;
        dst.Begin = begin;
        dst.End = end;
        return (dst.Data = copy0(data, size)) != nullptr && text(type, &dst.Content_Type) && text(name, &dst.Name);
    }
    void append(tCPS_Slide *n) {
        *slideTail = n;
        slideTail = &n->next;
        ++slideCount;
    }
    void append(tCPS_AttachNode *n) {
        *attachTail = n;
        attachTail = &n->next;
        ++attachCount;
    }
    // Hands the lists to the host record.
    void give(tCPS_MmsData *to) {
        to->Slide_Num = slideCount;
        to->pSlide_List = slides;
        to->Attach_Num = attachCount;
        to->pAttach_List = attachments;
        slides = nullptr;
        attachments = nullptr;
    }
    ~HostLists() {
        CPS_FreeHostSlides(slides);
        CPS_FreeHostAttachments(attachments);
    }
};

// A clip of the view as the host slide's item of kind K; a clip without
// data is left out. False when memory is short.
template <CpsKind K>
bool put_clip(HostLists &out, tCPS_Slide &n, const tPAR_MediaInfo &m) {
    if (!m.Data || m.Length < 0) return true;
    n.*CpsMedia<K>::HostHas = 1;
    return out.media(n.*CpsMedia<K>::HostItem, m.Data, m.Length, m.Type, m.Name, m.Begin, m.End);
}

// The current slide of the view as a host slide: a video excludes image and
// audio; media without data are left out, media of 0 bytes (an empty part)
// are kept as empty items.
int fill_slide(HostLists &out) {
    auto *n = qx::alloc_rec<tCPS_Slide>();
    if (!n) return COMPOSER_MEMERY_ALLOC_FAIL;
    out.append(n);
    const int dur = fnPAR_GetDur();
    n->Duration = dur > 0 ? dur : CPS_DEFAULT_DURATION;
    tPAR_MediaInfo clip{};
    if (fnPAR_GetVideo(&clip)) {
        if (!put_clip<CpsKind::Video>(out, *n, clip)) return COMPOSER_MEMERY_ALLOC_FAIL;
    } else {
        if (fnPAR_GetImg(&clip) && !put_clip<CpsKind::Image>(out, *n, clip)) return COMPOSER_MEMERY_ALLOC_FAIL;
        clip = tPAR_MediaInfo{};
        if (fnPAR_GetAud(&clip) && !put_clip<CpsKind::Audio>(out, *n, clip)) return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    tPAR_TextInfo txt{};
    if (fnPAR_GetText(&txt) && txt.Text) {
        const size_t len = std::strlen(txt.Text);
        if (len >= static_cast<size_t>(INT32_MAX)) return COMPOSER_MEMERY_ALLOC_FAIL;
        n->Has_Text = 1;
        n->Text.Length = static_cast<int>(len);
        n->Text.Begin = txt.Begin;
        n->Text.End = txt.End;
        if (!out.text(txt.Text, &n->Text.Text)) {
            QX_LOG("MMS_MALLOC failed");
            return COMPOSER_MEMERY_ALLOC_FAIL;
        }
    }
    // Colours are not part of the host's slide; they are logged as read.
    uint32_t colour = 0;
    if (fnPAR_GetBgColor(&colour)) QX_LOG("tCPS_NewMessage.slidestruct[index]->bgColor:%x ", colour);
    if (fnPAR_GetForeColor(&colour)) QX_LOG("tCPS_NewMessage.slidestruct[index]->foreColor:%x ", colour);
    return COMPOSER_SUCCESS;
}

int fill_attachments(HostLists &out) {
    const int num = fnPAR_GetAttachmentNum();
    for (int a = 0; a < num; ++a) {
        tPAR_AttachInfo info{};
        if (!fnPAR_GetAttachment(&info, static_cast<uint32_t>(a))) {
            QX_LOG("fnPAR_GetAttachment return false");
            break;
        }
        QX_LOG("attachment.Size =:%d", info.Length);
        if (!info.Data || info.Length < 0) {
            QX_LOG("attachment is invalid");
            continue;
        }
        QX_LOG("attachment exists");
        // DRM messages and rights objects are kept only as combined
        // delivery; the others stay with the relay's DRM agent.
        if (is_drm_type(info.Type) && info.DrmType != kDrmCombinedDelivery) continue;
        auto *n = qx::alloc_rec<tCPS_AttachNode>();
        if (!n) return COMPOSER_MEMERY_ALLOC_FAIL;
        out.append(n);
        n->Size = info.Length;
        if (!(n->Data = out.copy0(info.Data, info.Length)) || !out.text(info.Name, &n->Name) ||
            !out.text(info.Type, &n->Content_Type))
            return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    return COMPOSER_SUCCESS;
}

// The slides and attachments of a body into `out` through the slide view. A
// body that gives no slide leaves one empty slide of the default duration; a
// view cut short by a shortage of memory is no message with fewer slides.
int fill_from_view(const uint8_t *body, int len, HostLists &out) {
    const int built = body ? fnPAR_ParseMMS(body, len) : PAR_REFUSED;
    qx::ScopeGuard release([] { fnPAR_Release(); });
    if (built == PAR_NO_MEMORY) return COMPOSER_MEMERY_ALLOC_FAIL;
    if (built == PAR_VIEW_BUILT) {
        fnPAR_FirstSlide();
        for (bool more = !fnPAR_IsEmpty(); more; more = fnPAR_NextSlide() != 0)
            if (const int r = fill_slide(out); r != COMPOSER_SUCCESS) return r;
        if (const int r = fill_attachments(out); r != COMPOSER_SUCCESS) return r;
    }
    if (out.slideCount == 0) {
        auto *n = qx::alloc_rec<tCPS_Slide>();
        if (!n) return COMPOSER_MEMERY_ALLOC_FAIL;
        n->Duration = CPS_DEFAULT_DURATION;
        out.append(n);
    }
    return 0;
}

// The seven texts and buffers of a copied header.
void free_send_copies(tMMS_SendReq &h) {
    qx::free_ptr(h.Transaction_Id);
    qx::free_ptr(h.From);
    qx::free_ptr(h.To);
    qx::free_ptr(h.Cc);
    qx::free_ptr(h.Bcc);
    qx::free_ptr(h.Subject);
    qx::free_ptr(h.ContentTypeAndBody);
}

void free_retrieve_copies(tMMS_RetrieveConf &h) {
    qx::free_ptr(h.body);
    qx::free_ptr(h.Transaction_Id);
    qx::free_ptr(h.Message_Id);
    qx::free_ptr(h.From);
    qx::free_ptr(h.To);
    qx::free_ptr(h.Cc);
    qx::free_ptr(h.Subject);
}

bool copy_send_header(const tMMS_SendReq &s, tMMS_SendReq &h) {
    h = s;
    h.Transaction_Id = h.From = h.To = h.Cc = h.Bcc = h.Subject = nullptr;
    h.ContentTypeAndBody = nullptr;
    const int bodyLen = s.ContentTypeAndBody && s.Body_Len > 0 ? s.Body_Len : 0;
    h.Body_Len = bodyLen;
    if (dup(s.Transaction_Id, &h.Transaction_Id) && dup(s.From, &h.From) && dup(s.To, &h.To) && dup(s.Cc, &h.Cc) &&
        dup(s.Bcc, &h.Bcc) && dup(s.Subject, &h.Subject) &&
        (h.ContentTypeAndBody = copy_bytes0(s.ContentTypeAndBody, bodyLen)) != nullptr)
        return true;
    free_send_copies(h);
    return false;
}

bool copy_retrieve_header(const tMMS_RetrieveConf &r, tMMS_RetrieveConf &h) {
    h = r;
    h.body = nullptr;
    h.Transaction_Id = h.Message_Id = h.From = h.To = h.Cc = h.Subject = nullptr;
    const int bodyLen = r.body && r.Content_Size > 0 ? r.Content_Size : 0;
    h.Content_Size = bodyLen;
    if ((h.body = copy_bytes0(r.body, bodyLen)) != nullptr && dup(r.Transaction_Id, &h.Transaction_Id) &&
        dup(r.Message_Id, &h.Message_Id) && dup(r.From, &h.From) && dup(r.To, &h.To) && dup(r.Cc, &h.Cc) &&
        dup(r.Subject, &h.Subject))
        return true;
    free_retrieve_copies(h);
    return false;
}

// Turns the body into the host's lists in mmsDatabuf. 0, or COMPOSER_BUSY /
// COMPOSER_MEMERY_ALLOC_FAIL with nothing written. Copies that would pass
// the bound of HostLists refuse the message with COMPOSER_MEMERY_ALLOC_FAIL
// rather than leave slides or attachments out unsaid.
int slides_to_host(const uint8_t *body, int len, tCPS_MmsData *mmsDatabuf) {
    // The model is not filled, but it stays the composer's one message in
    // work: opened and closed like for every other operation.
    const int opened = CPS_OpenModel();
    if (opened != 0) return opened;
    qx::ScopeGuard close([] { CPS_CloseModel(); });
    HostLists lists(len);
    const int r = fill_from_view(body, len, lists);
    if (lists.overBudget) QX_LOG("message lists exceed their bound COMPOSER_MEMERY_ALLOC_FAIL");
    if (r != 0) return r;
    lists.give(mmsDatabuf);
    return 0;
}

}  // namespace

int CPS_OpenStored(tCPS_MmsData *mmsDatabuf, const tCPS_PduBuf *pMMSPduBuf) {
    tMMS_DecodeReport why{};
    // The body is read where it lies: the host's copy of it is the only one.
    tMMS_SendReq *S = MMS_ParseSendContentInPlace(pMMSPduBuf->data, pMMSPduBuf->length, &why);
    if (!S) return undecoded(why, "send request does not decode COMPOSER_PDU_INVALID");
    qx::ScopeGuard releaseS([&S] {
        S->ContentTypeAndBody = nullptr;
        fnMMS_FreeMessageMem(S, MMS_STRUCT_SEND_REQ);
    });
    tMMS_SendReq header{};
    if (!copy_send_header(*S, header)) return COMPOSER_MEMERY_ALLOC_FAIL;
    const int r = slides_to_host(header.ContentTypeAndBody, header.Body_Len, mmsDatabuf);
    if (r != 0) {
        free_send_copies(header);
        return r;
    }
    mmsDatabuf->Header.Send_Req = header;
    mmsDatabuf->Pdu_Size = pMMSPduBuf->length;
    return 0;
}

extern "C" RORODIRE_API int fnCPS_ParserMMS(tCPS_MmsData *mmsDatabuf, tCPS_PduBuf *mmsretrievebuf) {
    if (!mmsDatabuf || !mmsretrievebuf) {
        QX_LOG("mmsretrievebuf =null so COMPOSER_INPUT_PARAM_ERROR");
        return COMPOSER_INPUT_PARAM_ERROR;
    }
    tMMS_DecodeReport why{};
    // The body is read where it lies: the host's copy of it is the only one.
    tMMS_RetrieveConf *R = MMS_ParseRetrieveConfInPlace(mmsretrievebuf->data, mmsretrievebuf->length, &why);
    if (!R) return undecoded(why, "retrieve confirmation does not decode COMPOSER_PDU_INVALID");
    qx::ScopeGuard releaseR([&R] {
        R->body = nullptr;
        fnMMS_FreeMessageMem(R, MMS_STRUCT_RETRIEVE_CONF);
    });
    tMMS_RetrieveConf header{};
    if (!copy_retrieve_header(*R, header)) return COMPOSER_MEMERY_ALLOC_FAIL;
    const int r = slides_to_host(header.body, header.Content_Size, mmsDatabuf);
    if (r != 0) {
        free_retrieve_copies(header);
        return r;
    }
    mmsDatabuf->Header.Retrieve.Retrieve_Conf = header;
    mmsDatabuf->Header.Retrieve.Retrieve_Pdu_Size = mmsretrievebuf->length;
    return 0;
}
