// Socket porting layer: a fixed table of osal sockets addressed by slot
// number, stepped by polling. Every call answers done, -2 (not yet) or a
// failure code at once; the asynchronous osal connect is turned into the
// polled iConnect state of the slot.
//
// Addresses: through a proxy the slot keeps a pointer to the proxy host text
// (owned by the HTTP client) and the port in host order; osal resolves the
// name itself inside the connect. Without a proxy the slot starts an osal
// lookup (g_sock_resolve) on its first SetAddr, owns the address record until
// the slot is closed, answers -2 while the lookup runs and hands the record
// with the port in network order to g_sock_connect once it is ready.
#include "glib_qx_stack_porting.h"

#include <cstdint>

#include "qx_log.h"
#include "qx_stack_http.h"

QXSocketEntry socket_list[QX_SOCKET_SLOTS];

namespace {

bool g_sockServiceUp = false;
// Direct-path address records, owned by the slot that started the lookup.
OSAL_ADDR g_slotAddr[QX_SOCKET_SLOTS];

constexpr bool usable_slot(int slot) { return slot >= 1 && slot < QX_SOCKET_SLOTS; }

void release_addr(int slot) {
    if (g_slotAddr[slot]) {
        g_sock_addr_free(g_slotAddr[slot]);
        g_slotAddr[slot] = nullptr;
    }
}

// The callback's user value must be one of our entries; anything else is ignored.
QXSocketEntry *entry_of(void *p) {
    const auto a = reinterpret_cast<uintptr_t>(p);
    const auto lo = reinterpret_cast<uintptr_t>(&socket_list[1]);
    const auto hi = reinterpret_cast<uintptr_t>(&socket_list[QX_SOCKET_SLOTS]);
    if (a < lo || a >= hi || (a - lo) % sizeof(QXSocketEntry) != 0) return nullptr;
    return static_cast<QXSocketEntry *>(p);
}

// Direct path: moves the slot's lookup forward and answers 1, -2 or -1.
int poll_lookup(int slot, QXSocketEntry &e) {
    switch (g_sock_addr_state(g_slotAddr[slot])) {
    case OSAL_ADDR_READY:
        e.iAddrState = 1;
        return 1;
    case OSAL_ADDR_PENDING:
        return -2;
    default:
        QX_LOG("address lookup failed, error %d\n", g_sock_addr_error(g_slotAddr[slot]));
        release_addr(slot);
        e.nodeINAddr = 0;
        e.iAddrState = -1;
        return -1;
    }
}

}  // namespace

int fnQX_Stack_Init() {
    if (g_sockServiceUp) return 1;  // one g_sock_init per matching finalize
    if (g_sock_init(0) == 0) {
        g_sockServiceUp = true;
        return 1;
    }
    g_sockServiceUp = false;
    return 0;
}

void fnQX_Stack_Finalize() {
    if (!g_sockServiceUp) return;
    g_sock_finalize();
    g_sockServiceUp = false;
}

int fnQX_Stack_Socket() {
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    if (s == 0) return 0;
    for (int slot = 1; slot < QX_SOCKET_SLOTS; ++slot) {
        if (socket_list[slot].ISocket != 0) continue;
        release_addr(slot);
        socket_list[slot] = QXSocketEntry{s, 0, 0, 0, 0};
        return slot;
    }
    // Every slot is taken: the new socket would be lost, so close it now.
    QX_LOG("no free socket slot\n");
    g_sock_close(s);
    return 0;
}

int fnQX_Stack_SetAddr(int slot, const char *host, int port) {
    if (!usable_slot(slot) || !host || port < 0 || port > 0xFFFF) return -1;
    QXSocketEntry &e = socket_list[slot];
    if (e.ISocket == 0) return -1;

    if (fnQXStack_Http_ProxyHost() != nullptr) {
        release_addr(slot);
        e.nodeINAddr = reinterpret_cast<intptr_t>(host);
        e.nPort = static_cast<uint16_t>(port);
        e.iAddrState = 1;
        return 1;
    }

    e.nPort = g_sock_htons(static_cast<uint16_t>(port));
    switch (e.iAddrState) {
    case 1: return 1;
    case -1: return -1;
    case -2: return poll_lookup(slot, e);
    default: break;
    }
    release_addr(slot);
    g_slotAddr[slot] = g_sock_resolve(host);
    if (!g_slotAddr[slot]) {
        QX_LOG("address lookup not started\n");
        e.nodeINAddr = 0;
        e.iAddrState = -1;
        return -1;
    }
    e.nodeINAddr = reinterpret_cast<intptr_t>(g_slotAddr[slot]);
    e.iAddrState = -2;
    return poll_lookup(slot, e);
}

int fnQX_Stack_Connect(int slot) {
    if (!usable_slot(slot)) return 0;
    QXSocketEntry &e = socket_list[slot];
    if (e.ISocket == 0) return 0;
    switch (e.iConnect) {
    case 1:
        QX_LOG("before connect iConnect=1\n");
        return 1;
    case -1: return 0;
    case -2: return -2;
    default: break;
    }
    if (e.iAddrState != 1) {
        QX_LOG("connect without an address\n");
        return 0;
    }
    const int r = g_sock_connect(e.ISocket, reinterpret_cast<const void *>(e.nodeINAddr), e.nPort,
                                 fnQX_Stack_ConnectCb, &e);
    if (r != 0 && r != -2) {
        QX_LOG("lastError =%d", g_sock_geterror(e.ISocket));
        e.iConnect = -1;
        return 0;
    }
    if (e.iConnect == 0) e.iConnect = -2;
    if (e.iConnect == -2) return -2;
    return e.iConnect == 1 ? 1 : 0;
}

void fnQX_Stack_ConnectCb(OSAL_SOCKET sock, int event, void *entry) {
    QXSocketEntry *e = entry_of(entry);
    // A completion for a socket that no longer owns the slot changes nothing.
    if (!e || e->ISocket == 0 || e->ISocket != sock) return;
    // The connect state only moves forward: a settled slot stays as it is.
    if (e->iConnect == 1 || e->iConnect == -1) return;
    e->iConnect = (event == OSAL_SOCK_EVENT_CONNECT && g_sock_geterror(sock) == 0) ? 1 : -1;
    QX_LOG(">>>>>>call back :connect %d iConnect has been changed to %d", static_cast<int>(sock), e->iConnect);
}

int fnQX_Stack_SendData(int slot, const void *data, int count) {
    if (!usable_slot(slot)) return -1;
    if (!data) return -3;
    const QXSocketEntry &e = socket_list[slot];
    if (e.iConnect != 1) return -1;
    return g_sock_write(e.ISocket, data, count);
}

int fnQX_Stack_RecvData(int slot, void *buf, int capacity) {
    if (!usable_slot(slot)) return -1;
    if (!buf) return -3;
    const QXSocketEntry &e = socket_list[slot];
    if (e.iConnect != 1) return -1;
    return g_sock_read(e.ISocket, buf, capacity);
}

void fnQX_Stack_Close(int slot) {
    if (!usable_slot(slot)) return;
    QXSocketEntry &e = socket_list[slot];
    if (e.ISocket != 0) g_sock_close(e.ISocket);
    release_addr(slot);
    e = QXSocketEntry{0, 0, 0, 0, 0};
}
