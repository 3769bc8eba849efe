// Slides from parts: the composer's slide and attachment lists built over
// the host's bytes, composed into an m-send-req, with the composer's result
// codes named. The tool's compose and rorodired's sends without a client
// presentation share it.
#ifndef RR_SLIDES_H
#define RR_SLIDES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rorodire.h"

namespace rrhost {

// The composer's results (fnCPS_ComposeMMS), named.
enum class ComposerCode : int {
    Success = COMPOSER_SUCCESS,
    OutOfMemory = COMPOSER_MEMERY_ALLOC_FAIL,
    Busy = COMPOSER_BUSY,
    ItemExists = COMPOSER_ITEM_EXISTS,
    VideoExists = COMPOSER_VIDEO_EXISTS,
    ImageAudioExists = COMPOSER_IMAGE_AUDIO_EXISTS,
    Full = COMPOSER_FULL,
    ViewEmpty = COMPOSER_VIEW_EMPTY,
    NoItem = COMPOSER_NO_ITEM,
    SlotNotInUse = COMPOSER_SLOT_NOT_IN_USE,
    InputParamError = COMPOSER_INPUT_PARAM_ERROR,
    PduInvalid = COMPOSER_PDU_INVALID,
    ViewFail = COMPOSER_VIEW_FAIL,
};

// "at most ten slides and ten attachments", ...; "unknown result" for a
// code the composer does not give.
const char *composer_code_text(ComposerCode code);

enum class Media : uint8_t { Image, Audio, Video };

// Slides and attachments over storage the host keeps until compose() has
// returned (nothing is copied).
class SlideList {
public:
    // A new slide shown for `durationMs`; the items added next go on it.
    void add_slide(int durationMs);
    // An item of the current slide, shown from `begin` to `end` ms.
    void add_media(Media kind, const void *data, int size, const char *type, const char *name, int begin, int end);
    void add_text(const char *text, int size, int begin, int end);
    // An attachment outside the slides.
    void add_attachment(const void *data, int size, const char *type, const char *name);

    size_t slides() const { return slides_.size(); }
    size_t attachments() const { return attachments_.size(); }

    // Composes the m-send-req of `head` (its body is the composer's) over
    // these lists. The PDU, or empty with *code saying why; *bodyLen (when
    // given) the length of the body the composer wrote.
    std::vector<uint8_t> compose(const tMMS_SendReq &head, ComposerCode *code, int *bodyLen = nullptr);

private:
    std::vector<tCPS_Slide> slides_;
    std::vector<tCPS_AttachNode> attachments_;
};

}  // namespace rrhost

#endif
