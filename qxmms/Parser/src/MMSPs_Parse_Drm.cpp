// OMA DRM v1 classification of a message part from its content type and, for
// a DRM message, the header lines in front of the protected content.
#include <cstring>

#include "MMSPs_Parse.h"
#include "qx_internal.h"

namespace {
constexpr char kDrmMessage[] = "application/vnd.oma.drm.message";
constexpr char kDrmContent[] = "application/vnd.oma.drm.content";
constexpr char kRightsXml[] = "application/vnd.oma.drm.rights+xml";
constexpr char kRightsWbxml[] = "application/vnd.oma.drm.rights+wbxml";
constexpr char kContentTypeKey[] = "content-type:";

void set_len(int32_t *headerLen, int32_t v) {
    if (headerLen) *headerLen = v;
}
void add_len(int32_t *headerLen, int64_t v) {
    if (!headerLen) return;
    const int64_t s = *headerLen + v;
    *headerLen = s > INT32_MAX ? INT32_MAX : static_cast<int32_t>(s);
}
}  // namespace

bool SmilIsDrmContentType(const char *contentType) {
    return contentType && (std::strcmp(contentType, kDrmMessage) == 0 || std::strcmp(contentType, kDrmContent) == 0);
}

// Header lines end in CR LF. A line longer than the line buffer keeps its
// first SMIL_DRM_LINE_SIZE - 1 characters for the Content-Type search; it is
// still counted with its full length in the header length.
int32_t SmilGetDrmType(const char *contentType, const uint8_t *data, int length, int32_t *headerLen,
                       char *innerType) {
    if (!contentType) return SMIL_DRM_NONE;
    if (std::strcmp(contentType, kDrmContent) == 0) return SMIL_DRM_CONTENT;
    if (std::strcmp(contentType, kDrmMessage) != 0) return SMIL_DRM_NONE;
    if (!data || length <= 0) return SMIL_DRM_NONE;

    char lineBuf[SMIL_DRM_LINE_SIZE];
    char mediaContentType[SMIL_DRM_MEDIA_TYPE_MAX + 1];
    int lineKept = 0;     // characters in lineBuf
    int64_t lineLen = 0;  // characters of the whole line
    bool found = false;
    bool wrapsContent = false;
    lineBuf[0] = '\0';

    int pos = 0;
    while (pos < length) {
        if (data[pos] == '\r' && pos + 1 < length && data[pos + 1] == '\n') {
            lineBuf[lineKept] = '\0';
            if (!found) {
                fnQX_STRLOWER(lineBuf);
                if (const char *key = std::strstr(lineBuf, kContentTypeKey)) {
                    found = true;
                    const char *p = key + sizeof(kContentTypeKey) - 1;
                    int n = 0;
                    while (*p && *p != ';' && n < SMIL_DRM_MEDIA_TYPE_MAX) {
                        if (*p != ' ') mediaContentType[n++] = *p;
                        ++p;
                    }
                    mediaContentType[n] = '\0';
                    if (std::strcmp(mediaContentType, kRightsXml) == 0 ||
                        std::strcmp(mediaContentType, kRightsWbxml) == 0) {
                        set_len(headerLen, 0);
                        return SMIL_DRM_RIGHTS;
                    }
                    if (std::strcmp(mediaContentType, kDrmContent) != 0) {
                        set_len(headerLen, 0);
                        if (std::strstr(p, "fwd=") || std::strstr(p, "screen=") || std::strstr(p, "ringtone="))
                            return SMIL_DRM_FORWARD;
                        if (innerType) fnQX_STRLCPY(innerType, mediaContentType, SMIL_DRM_INNER_TYPE_SIZE);
                        return SMIL_DRM_MESSAGE;
                    }
                    add_len(headerLen, lineLen + 2);
                    wrapsContent = true;
                    lineKept = 0;
                    lineLen = 0;
                    lineBuf[0] = '\0';
                    pos += 2;
                    continue;
                }
            }
            if (wrapsContent && lineLen == 0) return SMIL_DRM_WRAPPED;
            add_len(headerLen, lineLen + 2);
            lineKept = 0;
            lineLen = 0;
            lineBuf[0] = '\0';
            pos += 2;
            continue;
        }
        if (lineKept < SMIL_DRM_LINE_SIZE - 1) lineBuf[lineKept++] = static_cast<char>(data[pos]);
        ++lineLen;
        ++pos;
    }
    return SMIL_DRM_NONE;
}
