// Presentation parser, part one: the SMIL tokenizer and interpreter, the
// presentation view they build, the resolution of media references to body
// parts and the OMA DRM v1 classifier. Internal to the library (the composer
// reads the view back through the fnPAR_ queries of MMSPs_SlideView.h).
//
// One view, one SMIL source and one part list exist per process: one message
// is parsed at a time, on the host's thread.
//
// Results: the parser's steps answer 1 for success and 0 for failure (the
// add and load operations, the parse levels), SmilParsePar its SMIL_PAR_
// codes, queries 1 when they found something; builders of records give the
// record or null. A failed allocation is not told apart by these: where it
// happens it is recorded in the parser's state (smil::no_memory in
// MMSPs_Parse_State.h), the step ends as it would for unusable input, and
// fnPAR_ParseMMS answers PAR_NO_MEMORY (MMSPs_SlideView.h) instead of a
// smaller view.
#ifndef MMSPS_PARSE_H
#define MMSPS_PARSE_H

#include <cstdint>

#include "MMSProl_Encapsulaton.h"

// ---------------------------------------------------------------- tokenizer
enum : int32_t {
    SMIL_TAG_OPEN = 1,   // <name ...>
    SMIL_TAG_CLOSE = 2,  // </name>
    SMIL_TAG_EMPTY = 3,  // <name .../>
};

struct tSMIL_Attr {
    char *Name;    // as written
    char *Value;   // between the double quotes, never null
    // (Name and Value live in the attribute's own block, released with it.)
    tSMIL_Attr *pNext;
};

struct tSMIL_Tag {
    int32_t Type;       // SMIL_TAG_OPEN, SMIL_TAG_CLOSE or SMIL_TAG_EMPTY
    char *Name;         // as written; null for "<>"
    tSMIL_Attr *pAttr;  // reverse document order
    char *BlockEnd;     // end of the one block that holds the tag, its attributes and texts
};

// Element ids: positions in the element table.
enum : int16_t {
    SMIL_ELEM_SMIL = 0,
    SMIL_ELEM_HEAD = 1,
    SMIL_ELEM_BODY = 2,
    SMIL_ELEM_LAYOUT = 3,
    SMIL_ELEM_META = 4,
    SMIL_ELEM_PAR = 5,
    SMIL_ELEM_REGION = 6,
    SMIL_ELEM_ROOT_LAYOUT = 7,
    SMIL_ELEM_TEXT = 8,
    SMIL_ELEM_IMG = 9,
    SMIL_ELEM_AUDIO = 10,
    SMIL_ELEM_REF = 11,
    SMIL_ELEM_VIDEO = 12,
    SMIL_ELEM_PARAM = 13,
    SMIL_ELEM_NONE = -1,
};

// 1 accepted; 0 refused (null text, length <= 0, a NUL within length), which
// leaves the reader empty. The text is not copied and must outlive the parse.
int SmilSetSource(const char *text, int length);
int SmilReadChar(char *out);
// Next tag text "<...>" (fnQX_Free), or null at the end of the source or on
// allocation failure.
char *SmilReadTag();
tSMIL_Tag *SmilParseTag(const char *tagText);
tSMIL_Attr *SmilParseAttr(const char **cursor);
void SmilFreeTag(tSMIL_Tag *tag);
char *SmilCopySpan(const char *start, const char *end);
int16_t SmilGetElementId(const char *name);

// ---------------------------------------------------------------- view
struct tSMIL_Rect {
    int32_t Left;
    int32_t Top;
    int32_t Width;
    int32_t Height;
};

struct tSMIL_Region {
    char *Id;
    int32_t Left;
    int32_t Top;
    int32_t Width;
    int32_t Height;
    char *Fit;
    tSMIL_Region *pNext;
};

struct tSMIL_Text {
    char *Text;       // owned, NUL-terminated (UTF-8 when the part named a charset)
    char *Reserved;   // never filled; released if present
    int32_t Begin;
    int32_t End;
    tSMIL_Rect Region;
    tSMIL_Text *pNext;
};

// An image, audio or video clip of a par (an audio clip's Region is read but
// never reported).
struct tSMIL_Media {
    uint8_t *Data;       // borrowed from the decoded body
    char *Type;          // owned copy of the part's Content_Type
    char *Name;          // owned
    char *Reserved;      // never filled; released if present
    int32_t Length;
    int32_t Begin;
    int32_t End;
    int32_t IsDrm;
    int32_t DrmType;
    uint8_t *FwdParam;   // borrowed from the decoded body
    int32_t FwdParamLen;
    tSMIL_Rect Region;
    tSMIL_Media *pNext;
};
using tSMIL_Img = tSMIL_Media;
using tSMIL_Aud = tSMIL_Media;
using tSMIL_Video = tSMIL_Media;

struct tSMIL_Par {
    int32_t Dur;          // milliseconds; 0 without dur
    tSMIL_Text *pText;    // each media list runs in reverse document order
    tSMIL_Img *pImg;
    tSMIL_Aud *pAud;
    tSMIL_Video *pVideo;
    tSMIL_Par *pNext;
    tSMIL_Par *pPrev;
    int32_t IsBgColor;
    uint32_t bgColor;
    int32_t IsForeColor;
    uint32_t foreColor;
};

struct tSMIL_Attachment {
    uint8_t *Data;        // borrowed from the decoded body
    char *Name;           // owned
    char *Type;           // owned
    int32_t DrmType;
    char *Alt;            // never filled; released if present
    int32_t Length;
    tSMIL_Attachment *pPrev;
    tSMIL_Attachment *pNext;
    uint8_t *FwdParam;    // borrowed
    int32_t FwdParamLen;
};

struct tSMIL_ViewStruct {
    int32_t RootWidth;
    int32_t RootHeight;
    tSMIL_Region *pRegion;
    tSMIL_Par *pParHead;
    tSMIL_Par *CurPar;
    tSMIL_Attachment *pAttachment;
    int32_t IsBgColor;
    uint32_t bgColor;
};

struct tSMIL_Layout {
    int32_t RootWidth;
    int32_t RootHeight;
    tSMIL_Region *pRegion;
};

// The one presentation view of the process.
tSMIL_ViewStruct &SmilView();

// ---------------------------------------------------------------- interpreter
enum : int {
    SMIL_PAR_ENDED = 0,
    SMIL_PAR_FAILED = 1,
    SMIL_PAR_NESTED = 2,
};

int SmilInitView();
void SmilFreeView();
int SmilParseSmil();
int SmilParseHead();
tSMIL_Layout *SmilParseLayout();
int SmilParseBody();
int SmilParsePar();
int SmilParseText();
uint32_t SmilParseColor(const char *color);
int SmilGetRegion(tSMIL_Rect *rect, const char *id);
int SmilAddPar(tSMIL_Par *par);
int SmilDelCurPar();
int SmilAddText(tSMIL_Text *text);
int SmilAddImg(tSMIL_Img *img);
int SmilAddAud(tSMIL_Aud *aud);
int SmilAddVideo(tSMIL_Video *video);

// Number conversion of SMIL values: leading decimal digits (after optional
// blanks and sign), saturating at the int limits.
int32_t SmilAtoi(const char *s);
// Time value: "...ms" milliseconds, "...s" seconds, else milliseconds.
int32_t SmilParseTime(const char *s);

// Media records: release one record with the texts it owns (never Data).
void SmilFreeText(tSMIL_Text *t);
void SmilFreeMedia(tSMIL_Media *m);
inline void SmilFreeImg(tSMIL_Img *m) { SmilFreeMedia(m); }
inline void SmilFreeAud(tSMIL_Aud *m) { SmilFreeMedia(m); }
inline void SmilFreeVideo(tSMIL_Video *m) { SmilFreeMedia(m); }
void SmilFreePar(tSMIL_Par *par);

// ---------------------------------------------------------------- media resolution
// The part list that the loaders search (the decoded body's Parts).
void SmilSetPartList(tMMS_Element *first);
tMMS_Element *SmilGetPartList();
// The result of SmilFindPart for a well-formed reference that names no part.
extern tMMS_Element *const SMIL_NO_MATCH;

tMMS_Element *SmilFindPart(tMMS_Element *first, const char *ref);
int SmilLoadText(tSMIL_Text *text, const char *ref);
// An image, audio or video record from the part the reference names.
int SmilLoadMedia(tSMIL_Media *rec, const char *ref);
inline int SmilLoadImg(tSMIL_Img *img, const char *ref) { return SmilLoadMedia(img, ref); }
inline int SmilLoadAud(tSMIL_Aud *aud, const char *ref) { return SmilLoadMedia(aud, ref); }
inline int SmilLoadVideo(tSMIL_Video *video, const char *ref) { return SmilLoadMedia(video, ref); }

// ---------------------------------------------------------------- DRM
enum : int32_t {
    SMIL_DRM_NONE = 0,        // no inner Content-Type line (or not a DRM part)
    SMIL_DRM_MESSAGE = 1,     // DRM message around an ordinary media type
    SMIL_DRM_RIGHTS = 2,      // DRM message carrying rights
    SMIL_DRM_CONTENT = 3,     // the part is a DRM content object
    SMIL_DRM_WRAPPED = 4,     // DRM message around a DRM content object
    SMIL_DRM_FORWARD = 5,     // forward-lock / screen / ringtone restricted
};
constexpr int SMIL_DRM_INNER_TYPE_SIZE = 100;  // the inner-type buffer callers pass
constexpr int SMIL_DRM_LINE_SIZE = 128;
constexpr int SMIL_DRM_MEDIA_TYPE_MAX = 50;

// Classifies a part. headerLen (may be null) is added to / reset as
// described for type 4; innerType (may be null, SMIL_DRM_INNER_TYPE_SIZE
// bytes) is written only for type 1.
int32_t SmilGetDrmType(const char *contentType, const uint8_t *data, int length, int32_t *headerLen,
                       char *innerType);
bool SmilIsDrmContentType(const char *contentType);

#endif
