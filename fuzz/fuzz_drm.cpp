// The DRM classifier on any part data. The first byte picks the content type
// (mostly a DRM message); the rest is the data, as an exactly sized heap copy.
// The inner-type buffer is an exactly sized 100-byte heap block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "fuzz_support.h"
#include "parser_fuzz_support.h"

using parser_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > (1u << 20)) return 0;
    static const char *kTypes[] = {"application/vnd.oma.drm.message", "application/vnd.oma.drm.message",
                                   "application/vnd.oma.drm.message", "application/vnd.oma.drm.content",
                                   "Application/vnd.oma.drm.message", "image/jpeg"};
    const char *type = kTypes[data[0] % std::size(kTypes)];
    FuzzInput in(data + 1, size - 1);
    char *inner = static_cast<char *>(std::malloc(SMIL_DRM_INNER_TYPE_SIZE));
    std::memset(inner, 0, SMIL_DRM_INNER_TYPE_SIZE);
    int32_t headerLen = 0;
    const int32_t t = SmilGetDrmType(type, in.data(), in.size(), &headerLen, inner);
    require(t >= 0 && t <= 5);
    require(headerLen >= 0 && headerLen <= in.size());
    require(std::memchr(inner, '\0', SMIL_DRM_INNER_TYPE_SIZE) != nullptr);
    if (t != SMIL_DRM_MESSAGE) require(inner[0] == '\0');
    // Only lines before an outcome are counted; types 1, 2, 3 and 5 reset it.
    if (t != SMIL_DRM_WRAPPED && t != SMIL_DRM_NONE) require(headerLen == 0);
    // Without the optional outputs the type is the same.
    require(SmilGetDrmType(type, in.data(), in.size(), nullptr, nullptr) == t);
    std::free(inner);
    return 0;
}
