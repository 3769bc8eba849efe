// Mode layer between the transactions and the HTTP client. Only mode 2
// (HTTP through a WAP 2.0 proxy) is served; any other mode refuses.
#include "qx_stack_http.h"

namespace {

constexpr int kModeHttp = 2;

bool http_mode() { return fnQXStack_Http_Module().stackMode == kModeHttp; }

}  // namespace

int fnQXStack_Wap_Init(int mode) {
    fnQXStack_Http_Module().stackMode = mode;
    return mode == kModeHttp ? fnQXStack_Http_Init() : -1;
}

HttpCtx *fnQXStack_Wap_Open_Post(const char *url, const uint8_t *body, int bodyLen, const char *contentType) {
    return http_mode() ? fnQXStack_Http_Open_Post(url, body, bodyLen, contentType) : nullptr;
}

int fnQXStack_Wap_Read(HttpCtx *ctx, void *dst, int capacity) {
    return http_mode() ? fnQXStack_Http_Read(ctx, dst, capacity) : QX_STEP_FAILED;
}

int fnQXStack_Wap_GetState(const HttpCtx *ctx) { return http_mode() ? fnQXStack_Http_GetState(ctx) : -1; }

void fnQXStack_Wap_Close(HttpCtx *ctx) {
    if (http_mode()) fnQXStack_Http_Close(ctx);
}
