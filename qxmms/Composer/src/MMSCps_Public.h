// Internal interface of the composer: the single message model with its
// slides and attachment slots, the slide editing operations, the SMIL writer
// and body builder, and the helpers of the compose and parse operations.
#ifndef MMSCPS_PUBLIC_H
#define MMSCPS_PUBLIC_H

#include <cstdint>

#include "MMSProl_Encapsulaton.h"
#include "rorodire.h"

// Results: every operation of the composer, exported or internal, answers
// with the composer's codes of rorodire.h: COMPOSER_SUCCESS (0), a refusal
// (COMPOSER_BUSY, COMPOSER_FULL, COMPOSER_INPUT_PARAM_ERROR, ...), or
// COMPOSER_MEMERY_ALLOC_FAIL when an allocation failed, which is never
// reported as a refusal or as a smaller message. The codec's and the
// parser's own results are mapped onto these where they are called.

// What the model holds of a message being composed. Received and stored
// messages go to the host's lists without passing through the model, so
// these limits never cut them.
constexpr int CPS_MAX_SLIDES = 10;
constexpr int CPS_MAX_ATTACHMENTS = 10;
constexpr int CPS_DEFAULT_DURATION = 12000;  // ms
constexpr int CPS_DEFAULT_END = 5000;        // ms
constexpr uint32_t CPS_DEFAULT_BGCOLOR = 0xFFFFFF;
constexpr uint32_t CPS_DEFAULT_FORECOLOR = 0x0000FF;

// ---------------------------------------------------------------- model
// An image, audio or video clip of a slide (an audio clip's Reserved words
// stay 0: its host record has none).
struct tCPS_MediaRec {
    uint8_t *Data;       // owned unless Lent
    char *Content_Type;  // owned unless Lent
    char *Name;          // owned unless Lent
    int Size;
    int Begin;
    int End;
    uint32_t Reserved[4];
    uint8_t Lent;  // the three pointers are the host's, read in place during the call
};

struct tCPS_TextRec {
    char *Data;  // owned, 0-terminated
    int Length;
    int Begin;
    int End;
    uint32_t Reserved[4];
};

struct tCPS_SlideStruct {
    uint8_t Has_Image;
    uint8_t Has_Text;
    uint8_t Has_Audio;
    uint8_t Has_Video;
    tCPS_MediaRec Image;
    tCPS_TextRec Text;
    tCPS_MediaRec Audio;
    tCPS_MediaRec Video;
    int IsBgColor;
    uint32_t bgColor;
    int IsForeColor;
    uint32_t foreColor;
};

struct tCPS_Attachment {
    uint8_t *Data;       // owned unless Lent
    char *Name;          // owned unless Lent
    char *Content_Type;  // owned unless Lent
    int Size;
    uint8_t Lent;  // the three pointers are the host's, read in place during the call
};

struct tCPS_NewMessage {
    int Total_Size;  // sizes of every media, text and attachment added (saturates)
    int totalSlide;
    int Cur_Slide;
    int Slide_In_Use[CPS_MAX_SLIDES];
    int Slide_Dur[CPS_MAX_SLIDES];
    tCPS_SlideStruct *slidestruct[CPS_MAX_SLIDES];
    int TotalAttachment;
    tCPS_Attachment *attachment[CPS_MAX_ATTACHMENTS];
    // Storage the references above point into.
    tCPS_SlideStruct Slide_Store[CPS_MAX_SLIDES];
    tCPS_Attachment Attach_Store[CPS_MAX_ATTACHMENTS];
};

// ---------------------------------------------------------------- media kinds
// One description per media kind drives the editing, the host-list loading
// and releasing, and the reading back of a received message: where the item
// lives in the model's slide and in the host's slide, and which kind it
// shuts out. A video stands alone on its slide; an image and an audio clip
// may share one.
enum class CpsKind : uint8_t { Image, Audio, Video };

template <CpsKind K, typename HostItemT, uint8_t tCPS_SlideStruct::*HasP, tCPS_MediaRec tCPS_SlideStruct::*RecP,
          int tCPS_Slide::*HostHasP, HostItemT tCPS_Slide::*HostItemP>
struct CpsMediaKind {
    static constexpr CpsKind Kind = K;
    using Item = HostItemT;
    static constexpr auto Has = HasP;            // in the model's slide
    static constexpr auto Rec = RecP;
    static constexpr auto HostHas = HostHasP;    // in the host's slide
    static constexpr auto HostItem = HostItemP;
};

template <CpsKind K>
struct CpsMedia;
template <>
struct CpsMedia<CpsKind::Image>
    : CpsMediaKind<CpsKind::Image, tCPS_ImageItem, &tCPS_SlideStruct::Has_Image, &tCPS_SlideStruct::Image,
                   &tCPS_Slide::Has_Image, &tCPS_Slide::Image> {};
template <>
struct CpsMedia<CpsKind::Audio>
    : CpsMediaKind<CpsKind::Audio, tCPS_AudioItem, &tCPS_SlideStruct::Has_Audio, &tCPS_SlideStruct::Audio,
                   &tCPS_Slide::Has_Audio, &tCPS_Slide::Audio> {};
template <>
struct CpsMedia<CpsKind::Video>
    : CpsMediaKind<CpsKind::Video, tCPS_VideoItem, &tCPS_SlideStruct::Has_Video, &tCPS_SlideStruct::Video,
                   &tCPS_Slide::Has_Video, &tCPS_Slide::Video> {};

// Calls f(CpsMedia<K>{}) for every kind, in the order image, audio, video.
template <typename F>
void cps_each_kind(F &&f) {
    f(CpsMedia<CpsKind::Image>{});
    f(CpsMedia<CpsKind::Audio>{});
    f(CpsMedia<CpsKind::Video>{});
}

// The composer's process state: the model and the flag that marks it open.
struct tCPS_State {
    tCPS_NewMessage Model;
    int Busy;
};
extern tCPS_State g_cps;

inline tCPS_NewMessage &cps_model() { return g_cps.Model; }

// ---------------------------------------------------------------- model operations
int CPS_OpenModel();
void CPS_CloseModel();
int CPS_InitModel();
void CPS_ResetModel();
// Adds to the model's total size without overflowing it.
void CPS_AddTotal(int size);
// A slide record in its initial state (no items, default ends and colours).
void CPS_InitSlide(tCPS_SlideStruct &s);

// ---------------------------------------------------------------- editing
// How an item's data, type and name enter the model: copied (editing), or
// lent by the host for the length of one compose call (its lists are read
// where they are). Items without data or size are copied either way.
enum class CpsHold : uint8_t { Copy, Lend };
template <CpsKind K>
int CPS_CurHas();
int CPS_CurHasText();
inline int CPS_CurHasImage() { return CPS_CurHas<CpsKind::Image>(); }
inline int CPS_CurHasAudio() { return CPS_CurHas<CpsKind::Audio>(); }
inline int CPS_CurHasVideo() { return CPS_CurHas<CpsKind::Video>(); }
// Adds a copy of the host's item to the current slide.
template <CpsKind K>
int CPS_AddMedia(const typename CpsMedia<K>::Item *item, CpsHold hold = CpsHold::Copy);
inline int CPS_AddImage(const tCPS_ImageItem *item) { return CPS_AddMedia<CpsKind::Image>(item); }
inline int CPS_AddVideo(const tCPS_VideoItem *item) { return CPS_AddMedia<CpsKind::Video>(item); }
inline int CPS_AddAudio(const tCPS_AudioItem *item) { return CPS_AddMedia<CpsKind::Audio>(item); }
int CPS_AddText(const tCPS_TextItem *item);
int CPS_InsertSlide();
int CPS_SetCurDuration(int duration);
int CPS_GetCurDuration();
// Fill the record with the current slide's item; the pointers are the
// model's own, lent for reading.
template <CpsKind K>
int CPS_GetCurMedia(typename CpsMedia<K>::Item *item);
inline int CPS_GetCurImage(tCPS_ImageItem *item) { return CPS_GetCurMedia<CpsKind::Image>(item); }
inline int CPS_GetCurVideo(tCPS_VideoItem *item) { return CPS_GetCurMedia<CpsKind::Video>(item); }
inline int CPS_GetCurAudio(tCPS_AudioItem *item) { return CPS_GetCurMedia<CpsKind::Audio>(item); }
int CPS_GetCurText(tCPS_TextItem *item);
int CPS_AddAttachment(const tCPS_AttachNode *node, CpsHold hold = CpsHold::Copy);
// Index below CPS_GetAttachmentNum(); pointers lent.
int CPS_GetAttachment(tCPS_Attachment *out, int index);
int CPS_GetAttachmentNum();

// ---------------------------------------------------------------- SMIL and body
int CPS_CheckSlides();
constexpr int CPS_TIME_BUF = 12;
constexpr int CPS_MAX_TIME = 120000;
void CPS_FormatTime(char *dst, int value);
// The name a part goes out by (new text, fnQX_Malloc, or null): the host's
// name as it is, or, when a reader would decode encoded words in it, the name
// as one encoded word of its own (see EncodedWordGuard; a name that cannot be
// written so is refused before composing).
char *CPS_WireName(const char *name);
// The same for a slide's media part, whose empty name is replaced by the name
// a reader gives an unnamed part of that content type, numbered by the slide.
// The SMIL src is that name URI-encoded, as the part's Content-Location.
char *CPS_MediaPartName(const char *name, const char *type, int slide);
// The SMIL document (caller's, fnQX_Free); null when memory is short.
char *CPS_SmilBuild();
// Parts of the model; null with *err 0 when the model fails validation, null
// with *err COMPOSER_MEMERY_ALLOC_FAIL when memory is short.
mmresstruct *CPS_BuildParts(int *err);
// The Content-Type field and multipart body; null and *len 0 as above.
uint8_t *CPS_BuildBody(int *len, int *err);

// ---------------------------------------------------------------- operations
// The host's lists into the model, their media lent (read where they are
// until the model is closed at the end of the call).
int CPS_LoadHostSlides(const tCPS_Slide *first);
int CPS_LoadHostAttachments(const tCPS_AttachNode *first);
// Releases host lists built by the composer.
void CPS_FreeHostSlides(tCPS_Slide *first);
void CPS_FreeHostAttachments(tCPS_AttachNode *first);

#endif
