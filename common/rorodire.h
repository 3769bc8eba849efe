/*
 * rorodire - client-side MMS library, C ABI.
 *
 * This is the only header a host needs. Records are plain C structs whose
 * field order and types are part of the ABI; do not reorder them.
 *
 * Memory: everything the library hands out is allocated with fnQX_Malloc and
 * released by the host with fnQX_Free (buffers) or fnMMS_FreeMessageMem
 * (message records). Calls are expected from one thread.
 */
#ifndef RORODIRE_H
#define RORODIRE_H

#include <stddef.h>
#include <stdint.h>

#if defined(RORODIRE_BUILDING)
#define RORODIRE_API __attribute__((visibility("default")))
#else
#define RORODIRE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Shared types                                                        */
/* ------------------------------------------------------------------ */

/* An encoded PDU handed between host and library. When the library fills
 * one, data is a new allocation one byte longer than length, the extra
 * byte being 0. */
typedef struct tCPS_PduBuf {
    unsigned char *data;
    int length;
} tCPS_PduBuf;

/* Dates: the Date of a record is the time in seconds since 1970-01-01 UTC,
 * held as an unsigned 32-bit number, so every date up to 2106-02-07
 * 06:28:15 UTC is kept; 0 means the message has no date. Earlier versions
 * held it as a signed int in which 0 or less meant none; the size and the
 * place of the field are unchanged, a host that stores a date as
 * (uint32_t)seconds writes it right, and one that reads an int sees a date
 * after 2038-01-19 03:14:07 UTC as negative: convert it with (uint32_t). */

/* Type codes of the message records (only the low 8 bits count). */
enum {
    MMS_STRUCT_SEND_REQ = 1,
    MMS_STRUCT_SEND_CONF = 2,
    MMS_STRUCT_MMS_NOTIFICATION_IND = 3,
    MMS_STRUCT_RETRIEVE_CONF = 4,
    MMS_STRUCT_DELIVERY_IND = 5,
    MMS_STRUCT_NOTIFYRESP_IND = 6,
    MMS_STRUCT_ACKNOWLEDGE_IND = 7,
    MMS_STRUCT_READ_REC_IND = 8,
    MMS_STRUCT_READ_ORIG_IND = 9,
    MMS_STRUCT_FWD_REQ = 10,
    MMS_STRUCT_FWD_CONF = 11
};

/* m-send-req. For encoding, Message_Class is 0 Personal, 1 Advertisement,
 * 2 Informational, 3 Auto and Priority 0 Low, 1 Normal, 2 High; after
 * fnMMS_ParseSendContent both hold the wire bytes (0x80...). */
typedef struct tMMS_SendReq {
    int Delivery_Report;
    int Read_Reply;
    int Sender_Visibility;
    char *Transaction_Id;
    char *From;
    char *To;  /* ";"-separated */
    char *Cc;
    char *Bcc;
    char *Subject; /* UTF-8 */
    unsigned char *ContentTypeAndBody; /* 0x84 Content-Type field + body */
    unsigned char Message_Class;
    unsigned char Priority;
    uint32_t Date; /* see "Dates" above */
    unsigned char Expiry_Relative;
    int Expiry;
    unsigned char Delivery_Time_Relative;
    int Delivery_Time;
    int Body_Len;
} tMMS_SendReq;

typedef struct tMMS_SendConf {
    unsigned char Message_Type;
    unsigned char MMS_Version;
    unsigned char Response_Status;
    char *Transaction_Id;
    char *Response_Text;
    char *Message_Id;
} tMMS_SendConf;

typedef struct tMMS_NotifyInd {
    unsigned char Message_Class;
    unsigned char Priority;
    unsigned char Expiry_Token; /* 0x80 absolute, 0x81 relative */
    int Message_Size;
    int Expiry;
    char *Transaction_Id;
    char *From;
    char *Subject;
    char *Content_Location;
} tMMS_NotifyInd;

typedef struct tMMS_RetrieveConf {
    int Delivery_Report;
    int Read_Reply;
    unsigned char Message_Class;
    unsigned char Priority;
    unsigned char Retrieve_Status;
    uint32_t Date; /* see "Dates" above */
    int Content_Size;
    unsigned char *body; /* 0x84 Content-Type field + body */
    char *Transaction_Id;
    char *Message_Id;
    char *From;
    char *To;
    char *Cc;
    char *Subject;
} tMMS_RetrieveConf;

typedef struct tMMS_DeliveryInd {
    unsigned char Status;
    char *Message_Id;
    char *To;
    uint32_t Date; /* see "Dates" above */
} tMMS_DeliveryInd;

typedef struct tMMS_NotifyRespInd {
    unsigned char Message_Type;
    unsigned char MMS_Version;
    unsigned char Status;
    unsigned char Report_Allowed;
    char *Transaction_Id;
} tMMS_NotifyRespInd;

typedef struct tMMS_AcknowledgeInd {
    unsigned char Message_Type;
    unsigned char MMS_Version;
    unsigned char Report_Allowed;
    char *Transaction_Id;
} tMMS_AcknowledgeInd;

typedef struct tMMS_ReadRecInd {
    char *Message_Id;
    char *To;
    char *From;
    unsigned char Read_Status;
    uint32_t Date; /* see "Dates" above */
} tMMS_ReadRecInd;

typedef struct tMMS_ReadOrigInd {
    char *Message_Id;
    char *To;
    char *From;
    uint32_t Date; /* see "Dates" above */
    unsigned char Read_Status;
} tMMS_ReadOrigInd;

typedef struct tMMS_FwdReq {
    int Delivery_Report;
    int Read_Reply;
    char *Transaction_Id;
    char *To;
    char *Cc;
    char *Bcc;
    char *Content_Location;
    uint32_t Date; /* see "Dates" above */
    unsigned char Expiry_Relative;
    int Expiry;
    unsigned char Delivery_Time_Relative;
    int Delivery_Time;
} tMMS_FwdReq;

typedef struct tMMS_FwdConf {
    unsigned char Response_Status;
    char *Transaction_Id;
    char *Response_Text;
    char *Message_Id;
} tMMS_FwdConf;

/* ------------------------------------------------------------------ */
/* Memory and string primitives                                        */
/* ------------------------------------------------------------------ */

/* Zero-filled allocation; null for size <= 0, for blocks above 1 GiB or
 * when memory is short (never aborts the process). */
RORODIRE_API void *fnQX_Malloc(int size);
RORODIRE_API void *fnQX_Realloc(void *mem, int size);
/* Takes the ADDRESS of a pointer variable: frees the block and nulls the
 * variable. Harmless on a null variable. */
RORODIRE_API void fnQX_Free(void **ppMem);
RORODIRE_API char *fnQX_MEMSTRCOPY(const char *src);

RORODIRE_API int fnQX_MEMCPY(void *dst, const void *src, int count);
RORODIRE_API void *fnQX_MEMSET(void *buf, int value, int count);
RORODIRE_API int fnQX_MEMCMP(const void *a, const void *b, int count);
RORODIRE_API void *fnQX_MEMCHR(const void *buf, int value, int count);
/* Forwards to osal's g_memstr1: first occurrence of the NUL-terminated
 * pattern inside mem[0..memLen), or null. */
RORODIRE_API void *fnQX_MEMSTR(const void *mem, int memLen, const char *pattern);

RORODIRE_API int fnQX_STRLEN(const char *s);
RORODIRE_API char *fnQX_STRCPY(char *dst, const char *src);
RORODIRE_API char *fnQX_STRNCPY(char *dst, const char *src, int count);
RORODIRE_API int fnQX_STRLCPY(char *dst, const char *src, int size);
RORODIRE_API char *fnQX_STRCAT(char *dst, const char *src);
RORODIRE_API int fnQX_STRLCAT(char *dst, const char *src, int size);
/* As fnQX_STRLCAT; with a null argument it returns the destination
 * pointer itself, hence the pointer-sized result. */
RORODIRE_API intptr_t fnQX_STRNCAT(char *dst, const char *src, int size);
RORODIRE_API int fnQX_STRCMP(const char *a, const char *b);
RORODIRE_API int fnQX_STRNCMP(const char *a, const char *b, int count);
RORODIRE_API int fnQX_STRBEGINS(const char *prefix, const char *text);
RORODIRE_API char *fnQX_STRLOWER(char *s);
RORODIRE_API int fnQX_ATOI(const char *s);

/* ------------------------------------------------------------------ */
/* MMS PDU codec                                                       */
/* ------------------------------------------------------------------ */

RORODIRE_API void *fnMMS_AllocMessageMem(int type);
RORODIRE_API void fnMMS_FreeMessageMem(void *record, int type);

/* Decoders: (PDU bytes, length). Results are new records owned by the
 * caller (fnMMS_FreeMessageMem with the matching type code), or null. */
RORODIRE_API tMMS_RetrieveConf *fnMMS_ParseRetrieveConf(const unsigned char *pdu, int len);
RORODIRE_API tMMS_SendReq *fnMMS_ParseSendContent(const unsigned char *pdu, int len);
/* Confirmation results: 0 Ok, 1..8 the relay's error statuses 0x81..0x88,
 * 9 another or no status, 10 no input or undecodable. */
RORODIRE_API uint16_t fnMMS_RecvSendConfData(const unsigned char *pdu, int len);
RORODIRE_API uint16_t fnMMS_RecvFwdConfData(const unsigned char *pdu, int len);
/* Encodes a forward request; the buffer is the caller's (fnQX_Free). */
RORODIRE_API unsigned char *fnMMS_MakeFWDMessagePdu(const tMMS_FwdReq *req, int *len);

/* ------------------------------------------------------------------ */
/* Send and download transactions                                      */
/* ------------------------------------------------------------------ */

/* Connection settings of a transaction; any field may be null. The texts
 * stay the host's and must stay alive until the final report. */
typedef struct MmsSettings {
    const char *UAHttp;     /* User-Agent value, replaces the built-in one */
    const char *UAProfile;  /* Profile (UAProf URL), replaces the built-in one */
    const char *ProxyAddr;  /* WAP proxy host; null for none */
    const char *ProxyPort;  /* proxy port as decimal text */
    const char *ServerAddr; /* URL of the MMS relay (MMSC) */
} MmsSettings;

/* Result callback of the transactions: (code, value). Called on the host's
 * thread from the GLib main loop (or from inside the starting call). */
typedef void (*tCPS_MMSResultCb)(int code, int value);

/* Codes of the send: reports and return values of fnCPS_SendMMS. */
enum {
    HBX_MSG_SEND_OK = 20,         /* value 100: the relay confirmed with Ok */
    HBX_MSG_SEND_FAIL = 21,       /* any other failure; also "cannot start" */
    HBX_MSG_SERVICE_DENIED = 22,  /* confirmation Error-service-denied */
    HBX_MSG_NETWORK_PROBLEM = 23, /* confirmation Error-network-problem */
    HBX_MSG_UNSUPPORTED = 24,     /* confirmation Error-unsupported-message */
    HBX_MSG_SEND_PROGRESS = 26,   /* value: percent written, 0..99 */
    HBX_MSG_SEND_STARTED = 27     /* return value only */
};

/* Codes of the download: reports and return values of fnCPS_DownloadMMS. */
enum {
    HBX_MSG_DL_OK = 0,          /* value 100: message stored in the output record */
    HBX_MSG_DL_FAIL_NOR = 1,    /* any failure; also "cannot start" */
    HBX_MSG_DL_MSG_TOOBIG = 4,  /* the message is larger than 307200 bytes */
    HBX_MSG_DL_PROGRESS = 6,    /* value: percent received, 0..99 */
    HBX_MSG_DL_STARTED = 7      /* return value only */
};

/* Posts an encoded m-send-req to settings->ServerAddr through the proxy and
 * reports the outcome once through cb (progress reports before it). Returns
 * 27 when started, 21 when not (also while another send or download runs).
 * The PDU and the settings must stay alive until the final report. */
RORODIRE_API int fnCPS_SendMMS(tCPS_PduBuf *pdu, MmsSettings *settings, tCPS_MMSResultCb cb);

/* Fetches the message a raw m-notification-ind announces, stores the
 * m-retrieve-conf in *out (data allocated with fnQX_Malloc, released by the
 * host with fnQX_Free; a zero byte follows it), answers the relay with an
 * m-notifyresp-ind (retrieveMode 3) or an m-acknowledge-ind (other modes)
 * and reports once through cb. Returns 7 when started, 1 when not (also
 * while another send or download runs). */
RORODIRE_API int fnCPS_DownloadMMS(tCPS_PduBuf *notification, int retrieveMode, MmsSettings *settings,
                                   tCPS_MMSResultCb cb, tCPS_PduBuf *out);

/* ------------------------------------------------------------------ */
/* Composer: host message records                                      */
/* ------------------------------------------------------------------ */

/* Items of a host slide. Times are milliseconds from the slide's start,
 * sizes bytes. The four Reserved words of image, video and text are carried
 * through the composer unchanged and never interpreted. */
typedef struct tCPS_ImageItem {
    unsigned char *Data;
    char *Content_Type; /* e.g. "image/jpeg" */
    char *Name;         /* file name used in the SMIL and as the part's name */
    int Begin;
    int End;
    int Size;
    unsigned int Reserved[4];
} tCPS_ImageItem;

typedef struct tCPS_VideoItem {
    unsigned char *Data;
    char *Content_Type; /* e.g. "video/3gpp" */
    char *Name;
    int Begin;
    int End;
    int Size;
    unsigned int Reserved[4];
} tCPS_VideoItem;

typedef struct tCPS_AudioItem {
    unsigned char *Data;
    char *Content_Type;
    char *Name;
    int Begin;
    int End;
    int Size;
} tCPS_AudioItem;

typedef struct tCPS_TextItem {
    char *Text;
    int Begin;
    int End;
    int Length; /* bytes of Text without the terminating 0 */
    unsigned int Reserved[4];
} tCPS_TextItem;

/* One slide: at most one image, audio clip, video clip and text; never a
 * video together with an image or audio clip. */
typedef struct tCPS_Slide {
    tCPS_ImageItem Image;
    tCPS_AudioItem Audio;
    tCPS_VideoItem Video;
    tCPS_TextItem Text;
    int Has_Image;
    int Has_Audio;
    int Has_Video;
    int Has_Text;
    int Duration; /* ms */
    int Reserved; /* neither read nor written by the library */
    struct tCPS_Slide *next;
} tCPS_Slide;

typedef struct tCPS_AttachNode {
    unsigned char *Data;
    char *Name;
    char *Content_Type;
    int Size;
    int Reserved; /* neither read nor written by the library */
    struct tCPS_AttachNode *next;
} tCPS_AttachNode;

/* The host's message. Lists built by the library are the host's: every node,
 * text and data buffer is a separate fnQX_Malloc block (data buffers one byte
 * longer than their size, ending in 0), released with fnQX_Free. */
typedef struct tCPS_MmsData {
    int Slide_Num;
    tCPS_Slide *pSlide_List;
    int Attach_Num;
    tCPS_AttachNode *pAttach_List;
    union {
        tMMS_SendReq Send_Req; /* compose (action 0 in, action 1 out) */
        struct {
            tMMS_RetrieveConf Retrieve_Conf; /* fnCPS_ParserMMS out */
            int Retrieve_Pdu_Size;           /* length of the parsed PDU */
        } Retrieve;
    } Header;
    int Pdu_Size; /* action 1: length of the decoded send request */
} tCPS_MmsData;

/* Results of fnCPS_ComposeMMS and fnCPS_ParserMMS (0 is success). */
enum {
    COMPOSER_SUCCESS = 0,
    COMPOSER_MEMERY_ALLOC_FAIL = -1,
    COMPOSER_BUSY = -2,
    COMPOSER_ITEM_EXISTS = -3,
    COMPOSER_VIDEO_EXISTS = -4,
    COMPOSER_IMAGE_AUDIO_EXISTS = -5,
    COMPOSER_FULL = -6,
    COMPOSER_VIEW_EMPTY = -7,
    COMPOSER_NO_ITEM = -8,
    COMPOSER_SLOT_NOT_IN_USE = -11,
    COMPOSER_INPUT_PARAM_ERROR = -12,
    /* The PDU given to action 1 or fnCPS_ParserMMS does not decode as a send
     * request / retrieve confirmation: mmsDatabuf is left untouched. */
    COMPOSER_PDU_INVALID = -13,
    COMPOSER_VIEW_FAIL = -16
};

/* Action 0: composes mmsDatabuf's slides, attachments and send-request
 * header (Header.Send_Req) into an m-send-req in *pMMSPduBuf (data is the
 * host's: fnQX_Free). Body_Len receives the body size, ContentTypeAndBody is
 * left null. Action 1: takes the send request in *pMMSPduBuf apart into
 * mmsDatabuf (slides, attachments, Header.Send_Req, Pdu_Size); the header
 * texts and lists are the host's. */
RORODIRE_API int fnCPS_ComposeMMS(tCPS_MmsData *mmsDatabuf, tCPS_PduBuf *pMMSPduBuf, int action);
/* Takes a retrieved message (m-retrieve-conf) apart into mmsDatabuf: slides,
 * attachments, Header.Retrieve (header copies and the PDU length). */
RORODIRE_API int fnCPS_ParserMMS(tCPS_MmsData *mmsDatabuf, tCPS_PduBuf *mmsretrievebuf);

/* ------------------------------------------------------------------ */
/* Notification intake                                                 */
/* ------------------------------------------------------------------ */

/* Decodes a pushed m-notification-ind for display. The record is the
 * host's: fnMMS_FreeMessageMem(rec, MMS_STRUCT_MMS_NOTIFICATION_IND). */
RORODIRE_API tMMS_NotifyInd *fnCPS_ParseMMSNotification(const tCPS_PduBuf *notification);

#ifdef __cplusplus
}
#endif

#endif /* RORODIRE_H */
