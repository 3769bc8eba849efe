// Slides from parts through the library's composer.
#include "rr_slides.h"

#include "rorodire_host.h"

namespace rrhost {

const char *composer_code_text(ComposerCode code) {
    switch (code) {
        case ComposerCode::Success: return "success";
        case ComposerCode::OutOfMemory: return "out of memory";
        case ComposerCode::Busy: return "the composer is busy";
        case ComposerCode::ItemExists: return "the slide already holds an item of that kind";
        case ComposerCode::VideoExists: return "a slide with a video takes no image or audio clip";
        case ComposerCode::ImageAudioExists: return "a slide with an image or audio clip takes no video";
        case ComposerCode::Full: return "at most ten slides and ten attachments";
        case ComposerCode::ViewEmpty: return "the message has no slides";
        case ComposerCode::NoItem: return "the slide holds no such item";
        case ComposerCode::SlotNotInUse: return "no slide can follow";
        case ComposerCode::InputParamError: return "invalid input";
        case ComposerCode::PduInvalid: return "the PDU does not decode";
        case ComposerCode::ViewFail: return "the presentation cannot be read";
    }
    return "unknown result";
}

void SlideList::add_slide(int durationMs) {
    tCPS_Slide s{};
    s.Duration = durationMs;
    slides_.push_back(s);
}

void SlideList::add_media(Media kind, const void *data, int size, const char *type, const char *name, int begin,
                          int end) {
    tCPS_Slide &s = slides_.back();
    switch (kind) {
        case Media::Image: s.Has_Image = 1, set_item(s.Image, data, size, type, name, begin, end); break;
        case Media::Audio: s.Has_Audio = 1, set_item(s.Audio, data, size, type, name, begin, end); break;
        case Media::Video: s.Has_Video = 1, set_item(s.Video, data, size, type, name, begin, end); break;
    }
}

void SlideList::add_text(const char *text, int size, int begin, int end) {
    tCPS_Slide &s = slides_.back();
    s.Has_Text = 1;
    s.Text.Text = const_cast<char *>(text);
    s.Text.Length = size;
    s.Text.Begin = begin;
    s.Text.End = end;
}

void SlideList::add_attachment(const void *data, int size, const char *type, const char *name) {
    tCPS_AttachNode a{};
    a.Data = static_cast<unsigned char *>(const_cast<void *>(data));
    a.Name = const_cast<char *>(name);
    a.Content_Type = const_cast<char *>(type);
    a.Size = size;
    attachments_.push_back(a);
}

std::vector<uint8_t> SlideList::compose(const tMMS_SendReq &head, ComposerCode *code, int *bodyLen) {
    link(slides_.data(), slides_.size());
    link(attachments_.data(), attachments_.size());
    tCPS_MmsData msg{};
    msg.pSlide_List = slides_.empty() ? nullptr : slides_.data();
    msg.pAttach_List = attachments_.empty() ? nullptr : attachments_.data();
    msg.Header.Send_Req = head;
    tCPS_PduBuf pdu{nullptr, 0};
    *code = static_cast<ComposerCode>(fnCPS_ComposeMMS(&msg, &pdu, 0));
    if (bodyLen) *bodyLen = msg.Header.Send_Req.Body_Len;
    std::vector<uint8_t> out;
    if (*code == ComposerCode::Success && pdu.data && pdu.length > 0) out.assign(pdu.data, pdu.data + pdu.length);
    release(pdu.data);
    return out;
}

}  // namespace rrhost
