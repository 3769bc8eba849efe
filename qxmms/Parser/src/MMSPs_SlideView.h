// Presentation parser, part two: the slide view of a message body (with or
// without a SMIL presentation), its attachment list and the fnPAR_ queries
// through which the composer reads it back. Internal to the library.
//
// Calling order: fnPAR_ParseMMS; on failure fnPAR_IsEmpty and fnPAR_Release;
// on success fnPAR_FirstSlide, per slide fnPAR_GetDur, the media getters,
// fnPAR_GetBgColor, fnPAR_GetForeColor, fnPAR_NextSlide until it returns 0;
// then fnPAR_GetAttachmentNum and fnPAR_GetAttachment per index; finally
// fnPAR_Release. Every pointer handed out dies with fnPAR_Release; media data
// point into the bytes given to fnPAR_ParseMMS, which must outlive the view.
#ifndef MMSPS_SLIDEVIEW_H
#define MMSPS_SLIDEVIEW_H

#include <cstdint>

#include "MMSPs_Parse.h"

// Query output records; every pointer is borrowed from the view.
struct tPAR_TextInfo {
    int32_t Left;
    int32_t Top;
    int32_t Width;
    int32_t Height;
    char *Text;
    int32_t Begin;
    int32_t End;
};

// An image, audio or video clip (an audio clip's region is 0).
struct tPAR_MediaInfo {
    int32_t Left;
    int32_t Top;
    int32_t Width;
    int32_t Height;
    uint8_t *Data;
    char *Type;
    char *Name;
    int32_t IsDrm;
    int32_t DrmType;
    uint8_t *FwdParam;
    int32_t FwdParamLen;
    int32_t Begin;
    int32_t End;
    int32_t Length;
};
using tPAR_ImgInfo = tPAR_MediaInfo;
using tPAR_VideoInfo = tPAR_MediaInfo;
using tPAR_AudInfo = tPAR_MediaInfo;

struct tPAR_AttachInfo {
    char *Name;
    char *Type;
    uint8_t *Data;
    int32_t Length;
    int32_t DrmType;
    uint8_t *FwdParam;
    int32_t FwdParamLen;
};

// Results of fnPAR_ParseMMS.
enum : int {
    PAR_VIEW_BUILT = 1,  // the view holds the body's slides and attachments
    PAR_REFUSED = 0,     // the bytes are no body the parser can read
    PAR_NO_MEMORY = -1,  // an allocation failed: the view is incomplete
};

// Builds the view from the ContentTypeAndBody bytes (0x84, content type,
// multipart body). Whatever the result, fnPAR_Release ends the view.
int fnPAR_ParseMMS(const uint8_t *data, int length);
void fnPAR_Release();
void fnPAR_FirstSlide();
int fnPAR_NextSlide();
int fnPAR_IsEmpty();
int fnPAR_GetDur();
int fnPAR_GetText(tPAR_TextInfo *info);
int fnPAR_GetImg(tPAR_ImgInfo *info);
int fnPAR_GetAud(tPAR_AudInfo *info);
int fnPAR_GetVideo(tPAR_VideoInfo *info);
int fnPAR_GetBgColor(uint32_t *color);
int fnPAR_GetForeColor(uint32_t *color);
int fnPAR_GetAttachmentNum();
int fnPAR_GetAttachment(tPAR_AttachInfo *info, uint32_t index);

// Steps of fnPAR_ParseMMS.
int SmilParserSmilMMS(mmresstruct *body);
int SmilParserNoSmilMMS(tMMS_Element *first);
int SmilBuildNoSmilSlides(tMMS_Element *first);
int SmilAddAttachment(tSMIL_Attachment *attachment);

enum : int {
    SMIL_KIND_TEXT = 1,
    SMIL_KIND_IMAGE = 2,
    SMIL_KIND_AUDIO = 3,
    SMIL_KIND_VIDEO = 4,
    SMIL_KIND_OTHER = 5,
    SMIL_KIND_FAILED = -1,
};
int SmilGetMediaKind(const char *contentType);

constexpr int SMIL_DEFAULT_NAME_SIZE = 50;
// Writes the default file name of a part of the type at position `number`
// into buf (SMIL_DEFAULT_NAME_SIZE bytes). 1, or 0 for a null buf or type.
int SmilGetDefaultName(char *buf, const char *contentType, int number);

#endif
