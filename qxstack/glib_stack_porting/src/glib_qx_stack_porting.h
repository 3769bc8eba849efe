// Socket porting layer: a fixed table of sockets between the HTTP client
// and the osal sockets. The HTTP client holds slot numbers, never handles.
#ifndef GLIB_QX_STACK_PORTING_H
#define GLIB_QX_STACK_PORTING_H

#include <cstdint>

#include "osal.h"
#include "qx_stack_step.h"

constexpr int QX_SOCKET_SLOTS = 20;  // slot 0 is never handed out

// States of a slot's address (iAddrState) and connect (iConnect).
constexpr int32_t QX_SLOT_NONE = 0;      // nothing yet
constexpr int32_t QX_SLOT_READY = 1;     // address set / connected
constexpr int32_t QX_SLOT_FAILED = -1;   // lookup or connect failed
constexpr int32_t QX_SLOT_PENDING = -2;  // lookup or connect under way

// Results: qx_stack_step.h. fnQX_Stack_Socket answers a slot (1 to 19) or
// QX_NO_SLOT.

struct QXSocketEntry {
    OSAL_SOCKET ISocket;  // 0 marks a free slot
    intptr_t nodeINAddr;  // where to connect (pointer-sized: it may hold a text's address)
    uint16_t nPort;       // host order on the proxy path, network order on the direct path
    int32_t iAddrState;   // QX_SLOT_NONE, _READY, _PENDING, _FAILED
    int32_t iConnect;     // QX_SLOT_NONE, _READY (connected), _PENDING, _FAILED
};

// The network a transaction's sockets go out on (the modem's bearer), an
// internal setting of the layer: every socket made while it is set is tied
// to the interface (and source address), and every host name, the proxy's
// included, is resolved through exactly the DNS servers given, never the
// system's resolver. All empty: sockets go where routing says and names go
// to the system resolver.
struct QXBearer {
    char ifname[16];  // interface, e.g. "wwan0"
    char source[48];  // numeric source address, optional
    char dns[200];    // comma separated numeric DNS servers, optional
};

// The layer's process state: one instance, started by fnQX_Stack_Init and
// emptied again by fnQX_Stack_Finalize.
struct QXSocketLayer {
    QXSocketEntry slots[QX_SOCKET_SLOTS];
    OSAL_ADDR slotAddr[QX_SOCKET_SLOTS];  // direct-path address records, owned by their slot
    bool serviceUp;                       // g_sock_init succeeded and is not yet matched
    QXBearer bearer;                      // kept until Finalize (or set again)
    int32_t lastError;                    // osal error of the last failed lookup or connect, 0 since Init
};

// The layer's state, for tests and diagnostics.
const QXSocketLayer &fnQX_Stack_Layer();

// How a slot reaches its peer: through a proxy (the host text is kept by
// pointer and handed to osal, the port in host order) or directly (the host
// name is looked up first, the port goes in network order).
enum class QXAddrPath { Direct, Proxy };

int fnQX_Stack_Init();
// Sets the bearer for the sockets made from now on (null: none); false when
// a text does not fit (nothing is set then). Finalize forgets it.
bool fnQX_Stack_SetBearer(const QXBearer *bearer);
// Fills a bearer record from texts (null or empty for none); false when one
// does not fit.
bool fnQX_Stack_MakeBearer(QXBearer *out, const char *ifname, const char *source, const char *dns);
void fnQX_Stack_Finalize();
int fnQX_Stack_Socket();
int fnQX_Stack_SetAddr(int slot, const char *host, int port, QXAddrPath path);
int fnQX_Stack_Connect(int slot);
int fnQX_Stack_SendData(int slot, const void *data, int count);
int fnQX_Stack_RecvData(int slot, void *buf, int capacity);
void fnQX_Stack_Close(int slot);
void fnQX_Stack_ConnectCb(OSAL_SOCKET sock, int event, void *entry);

#endif
