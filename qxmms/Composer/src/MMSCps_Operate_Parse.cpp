// Opening a stored send request (action 1) and a retrieved message: the PDU
// is decoded, its header copied for the host, its body turned into slides
// and attachments through the presentation parser's slide view, and the
// model copied out into fresh host lists.
#include <cstring>

#include "MMSCps_Operate.h"
#include "MMSCps_Public.h"
#include "MMSPs_SlideView.h"
#include "qx_alloc_test.h"
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

// Exactly `size` bytes; null when memory is short.
uint8_t *copy_bytes(const uint8_t *data, int size) {
    if (size <= 0) return nullptr;
    auto *p = static_cast<uint8_t *>(qx::alloc_uninit(size));
    if (p) std::memcpy(p, data, static_cast<size_t>(size));
    return p;
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

bool take_media(const uint8_t *data, int size, const char *type, const char *name, uint8_t **dData, char **dType,
                char **dName) {
    *dData = copy_bytes(data, size);
    return *dData && dup(type, dType) && dup(name, dName);
}

enum class Fill { Ok, NoMemory };

// Allocations refused so far. The decoders and the slide view answer a
// refused allocation like a body they cannot read; comparing this count
// before and after tells the two apart, so that a shortage of memory is
// reported as such and never as a message with fewer slides.
long refused_allocations() { return qx::alloc_stats().failedAllocs; }

Fill fill_slide(tCPS_SlideStruct &s, int index) {
    tPAR_VideoInfo vid{};
    if (fnPAR_GetVideo(&vid)) {
        s.Has_Video = 0;
        if (vid.Data && vid.Length >= 1) {
            s.Has_Video = 1;
            s.Video.Size = vid.Length;
            s.Video.Begin = vid.Begin;
            s.Video.End = vid.End;
            if (!take_media(vid.Data, vid.Length, vid.Type, vid.Name, &s.Video.Data, &s.Video.Content_Type,
                            &s.Video.Name))
                return Fill::NoMemory;
            CPS_AddTotal(vid.Length);
        }
    } else {
        tPAR_ImgInfo img{};
        if (fnPAR_GetImg(&img)) {
            s.Has_Image = 0;
            if (img.Data && img.Length > 0) {
                s.Has_Image = 1;
                s.Image.Size = img.Length;
                s.Image.Begin = img.Begin;
                s.Image.End = img.End;
                if (!take_media(img.Data, img.Length, img.Type, img.Name, &s.Image.Data, &s.Image.Content_Type,
                                &s.Image.Name))
                    return Fill::NoMemory;
                CPS_AddTotal(img.Length);
            }
        }
        tPAR_AudInfo aud{};
        if (fnPAR_GetAud(&aud)) {
            s.Has_Audio = 0;
            if (aud.Data && aud.Length >= 1) {
                s.Has_Audio = 1;
                s.Audio.Size = aud.Length;
                s.Audio.Begin = aud.Begin;
                s.Audio.End = aud.End;
                if (!take_media(aud.Data, aud.Length, aud.Type, aud.Name, &s.Audio.Data, &s.Audio.Content_Type,
                                &s.Audio.Name))
                    return Fill::NoMemory;
                CPS_AddTotal(aud.Length);
            }
        }
    }
    tPAR_TextInfo txt{};
    if (fnPAR_GetText(&txt)) {
        s.Has_Text = 0;
        if (txt.Text) {
            const size_t len = std::strlen(txt.Text);
            if (len >= static_cast<size_t>(INT32_MAX)) return Fill::NoMemory;
            s.Has_Text = 1;
            s.Text.Data = reinterpret_cast<char *>(copy_bytes0(reinterpret_cast<const uint8_t *>(txt.Text),
                                                                static_cast<int>(len)));
            if (!s.Text.Data) {
                QX_LOG("MMS_MALLOC failed");
                return Fill::NoMemory;
            }
            s.Text.Length = static_cast<int>(len);
            s.Text.Begin = txt.Begin;
            s.Text.End = txt.End;
            CPS_AddTotal(s.Text.Length);
        }
    }
    uint32_t colour = 0;
    if (fnPAR_GetBgColor(&colour)) {
        s.IsBgColor = 1;
        s.bgColor = colour;
        QX_LOG("tCPS_NewMessage.slidestruct[index]->bgColor:%x ", colour);
    } else {
        s.IsBgColor = 0;
    }
    if (fnPAR_GetForeColor(&colour)) {
        s.IsForeColor = 1;
        s.foreColor = colour;
        QX_LOG("tCPS_NewMessage.slidestruct[index]->foreColor:%x ", colour);
    } else {
        s.IsForeColor = 0;
    }
    (void)index;
    return Fill::Ok;
}

Fill fill_attachments() {
    auto &m = cps_model();
    const int num = fnPAR_GetAttachmentNum();
    for (int a = 0; a < num && m.TotalAttachment < CPS_MAX_ATTACHMENTS; ++a) {
        tPAR_AttachInfo info{};
        if (!fnPAR_GetAttachment(&info, static_cast<uint32_t>(a))) {
            QX_LOG("fnPAR_GetAttachment return false");
            break;
        }
        QX_LOG("attachment.Size =:%d", info.Length);
        if (!info.Data || info.Length <= 0) {
            QX_LOG("attachment is invalid");
            continue;
        }
        QX_LOG("attachment exists");
        // DRM messages and rights objects are kept only as combined
        // delivery; the others stay with the relay's DRM agent.
        if (is_drm_type(info.Type) && info.DrmType != kDrmCombinedDelivery) continue;
        tCPS_Attachment &slot = *m.attachment[m.TotalAttachment];
        slot.Size = info.Length;
        if (!take_media(info.Data, info.Length, info.Type, info.Name, &slot.Data, &slot.Content_Type, &slot.Name))
            return Fill::NoMemory;
        CPS_AddTotal(info.Length);
        ++m.TotalAttachment;
    }
    return Fill::Ok;
}

// Fills the open model from a message body through the slide view.
int fill_from_view(const uint8_t *body, int len) {
    if (!body) return COMPOSER_INPUT_PARAM_ERROR;
    const long refusedBefore = refused_allocations();
    if (!fnPAR_ParseMMS(body, len)) {
        const int empty = fnPAR_IsEmpty();
        fnPAR_Release();
        if (refused_allocations() != refusedBefore) return COMPOSER_MEMERY_ALLOC_FAIL;
        return empty ? COMPOSER_VIEW_EMPTY : COMPOSER_VIEW_FAIL;
    }
    qx::ScopeGuard release([] { fnPAR_Release(); });
    if (refused_allocations() != refusedBefore) return COMPOSER_MEMERY_ALLOC_FAIL;
    fnPAR_FirstSlide();
    if (fnPAR_IsEmpty() && fnPAR_GetAttachmentNum() == 0) return 0;
    auto &m = cps_model();
    for (int i = 0; i < CPS_MAX_SLIDES; ++i) {
        m.Slide_In_Use[i] = 1;
        const int dur = fnPAR_GetDur();
        if (dur > 0) m.Slide_Dur[i] = dur;
        m.totalSlide = i + 1;
        if (fill_slide(*m.slidestruct[i], i) != Fill::Ok) {
            CPS_ResetModel();
            return COMPOSER_MEMERY_ALLOC_FAIL;
        }
        if (!fnPAR_NextSlide() || i + 1 >= CPS_MAX_SLIDES) break;
    }
    if (fill_attachments() != Fill::Ok || refused_allocations() != refusedBefore) {
        CPS_ResetModel();
        return COMPOSER_MEMERY_ALLOC_FAIL;
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

// Loads the body into the model and copies the model out into the host's
// lists. A body that cannot be turned into slides leaves one empty slide.
// 0, or COMPOSER_BUSY / COMPOSER_MEMERY_ALLOC_FAIL with nothing written.
int slides_to_host(const uint8_t *body, int len, tCPS_MmsData *mmsDatabuf) {
    const int loaded = CPS_LoadView(body, len);
    if (loaded == COMPOSER_BUSY || loaded == COMPOSER_MEMERY_ALLOC_FAIL) return loaded;
    // After a failed filling the model is closed; reopen it for the copy.
    if (loaded != 0) CPS_OpenModel();
    const int r = CPS_BuildHostLists(mmsDatabuf);
    CPS_CloseModel();
    return r;
}

}  // namespace

int CPS_LoadView(const uint8_t *body, int len) {
    const int opened = CPS_OpenModel();
    if (opened != 0) return opened;
    const int r = fill_from_view(body, len);
    if (r != 0) g_cps.Busy = 0;
    return r;
}

int CPS_OpenStored(tCPS_MmsData *mmsDatabuf, const tCPS_PduBuf *pMMSPduBuf) {
    const long refusedBefore = refused_allocations();
    tMMS_SendReq *S = fnMMS_ParseSendContent(pMMSPduBuf->data, pMMSPduBuf->length);
    if (!S) {
        if (refused_allocations() != refusedBefore) return COMPOSER_MEMERY_ALLOC_FAIL;
        QX_LOG("send request does not decode COMPOSER_PDU_INVALID");
        return COMPOSER_PDU_INVALID;
    }
    if (refused_allocations() != refusedBefore) {
        fnMMS_FreeMessageMem(S, MMS_STRUCT_SEND_REQ);
        return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    qx::ScopeGuard releaseS([&S] { fnMMS_FreeMessageMem(S, MMS_STRUCT_SEND_REQ); });
    tMMS_SendReq header{};
    if (!copy_send_header(*S, header)) return COMPOSER_MEMERY_ALLOC_FAIL;
    tCPS_MmsData lists{};
    const int r = slides_to_host(header.ContentTypeAndBody, header.Body_Len, &lists);
    if (r != 0) {
        free_send_copies(header);
        return r;
    }
    mmsDatabuf->Slide_Num = lists.Slide_Num;
    mmsDatabuf->pSlide_List = lists.pSlide_List;
    mmsDatabuf->Attach_Num = lists.Attach_Num;
    mmsDatabuf->pAttach_List = lists.pAttach_List;
    mmsDatabuf->Header.Send_Req = header;
    mmsDatabuf->Pdu_Size = pMMSPduBuf->length;
    return 0;
}

extern "C" RORODIRE_API int fnCPS_ParserMMS(tCPS_MmsData *mmsDatabuf, tCPS_PduBuf *mmsretrievebuf) {
    if (!mmsDatabuf || !mmsretrievebuf) {
        QX_LOG("mmsretrievebuf =null so COMPOSER_INPUT_PARAM_ERROR");
        return COMPOSER_INPUT_PARAM_ERROR;
    }
    const long refusedBefore = refused_allocations();
    tMMS_RetrieveConf *R = fnMMS_ParseRetrieveConf(mmsretrievebuf->data, mmsretrievebuf->length);
    if (!R) {
        if (refused_allocations() != refusedBefore) return COMPOSER_MEMERY_ALLOC_FAIL;
        QX_LOG("retrieve confirmation does not decode COMPOSER_PDU_INVALID");
        return COMPOSER_PDU_INVALID;
    }
    if (refused_allocations() != refusedBefore) {
        fnMMS_FreeMessageMem(R, MMS_STRUCT_RETRIEVE_CONF);
        return COMPOSER_MEMERY_ALLOC_FAIL;
    }
    qx::ScopeGuard releaseR([&R] { fnMMS_FreeMessageMem(R, MMS_STRUCT_RETRIEVE_CONF); });
    tMMS_RetrieveConf header{};
    if (!copy_retrieve_header(*R, header)) return COMPOSER_MEMERY_ALLOC_FAIL;
    tCPS_MmsData lists{};
    const int r = slides_to_host(header.body, header.Content_Size, &lists);
    if (r != 0) {
        free_retrieve_copies(header);
        return r;
    }
    mmsDatabuf->Slide_Num = lists.Slide_Num;
    mmsDatabuf->pSlide_List = lists.pSlide_List;
    mmsDatabuf->Attach_Num = lists.Attach_Num;
    mmsDatabuf->pAttach_List = lists.pAttach_List;
    mmsDatabuf->Header.Retrieve.Retrieve_Conf = header;
    mmsDatabuf->Header.Retrieve.Retrieve_Pdu_Size = mmsretrievebuf->length;
    return 0;
}
