// Socket porting layer: a fixed table of osal sockets addressed by slot
// number, stepped by polling. Every call answers done, QX_STEP_AGAIN or a
// failure code at once; the asynchronous osal connect is turned into the
// polled iConnect state of the slot.
//
// Addresses: through a proxy the slot keeps a pointer to the proxy host text
// (owned by the caller) and the port in host order; osal resolves the name
// itself inside the connect. Directly, the slot starts an osal lookup
// (g_sock_resolve) on its first SetAddr, owns the address record until the
// slot is closed, answers QX_STEP_AGAIN while the lookup runs and hands the
// record with the port in network order to g_sock_connect once it is ready.
#include "glib_qx_stack_porting.h"

#include <cstdint>

#include "qx_log.h"
#include "rorodire.h"

namespace {

QXSocketLayer g_layer;

// g_sock_connect: 0 connected at once, -2 under way, anything else failed.
constexpr int kOsalConnectUnderWay = -2;

constexpr QXSocketEntry kFreeEntry{0, 0, 0, QX_SLOT_NONE, QX_SLOT_NONE};

constexpr bool usable_slot(int slot) { return slot >= 1 && slot < QX_SOCKET_SLOTS; }

void release_addr(int slot) {
    if (g_layer.slotAddr[slot]) {
        g_sock_addr_free(g_layer.slotAddr[slot]);
        g_layer.slotAddr[slot] = nullptr;
    }
}

// The callback's user value must be one of our entries; anything else is ignored.
QXSocketEntry *entry_of(void *p) {
    const auto a = reinterpret_cast<uintptr_t>(p);
    const auto lo = reinterpret_cast<uintptr_t>(&g_layer.slots[1]);
    const auto hi = reinterpret_cast<uintptr_t>(&g_layer.slots[QX_SOCKET_SLOTS]);
    if (a < lo || a >= hi || (a - lo) % sizeof(QXSocketEntry) != 0) return nullptr;
    return static_cast<QXSocketEntry *>(p);
}

// Direct path: moves the slot's lookup forward and answers QX_SOCK_OK,
// QX_STEP_AGAIN or QX_STEP_FAILED.
int poll_lookup(int slot, QXSocketEntry &e) {
    switch (g_sock_addr_state(g_layer.slotAddr[slot])) {
    case OSAL_ADDR_READY:
        e.iAddrState = QX_SLOT_READY;
        return QX_SOCK_OK;
    case OSAL_ADDR_PENDING:
        return QX_STEP_AGAIN;
    default:
        g_layer.lastError = g_sock_addr_error(g_layer.slotAddr[slot]);
        QX_LOG("address lookup failed, error %d\n", static_cast<int>(g_layer.lastError));
        release_addr(slot);
        e.nodeINAddr = 0;
        e.iAddrState = QX_SLOT_FAILED;
        return QX_STEP_FAILED;
    }
}

}  // namespace

const QXSocketLayer &fnQX_Stack_Layer() { return g_layer; }

bool fnQX_Stack_MakeBearer(QXBearer *out, const char *ifname, const char *source, const char *dns) {
    *out = QXBearer{};
    auto put = [](char *dst, size_t cap, const char *src) {
        if (!src) return true;
        const size_t n = fnQX_STRLEN(src);
        if (n >= cap) return false;
        fnQX_MEMCPY(dst, src, static_cast<int>(n));
        dst[n] = 0;
        return true;
    };
    if (put(out->ifname, sizeof out->ifname, ifname) && put(out->source, sizeof out->source, source) &&
        put(out->dns, sizeof out->dns, dns))
        return true;
    *out = QXBearer{};
    return false;
}

bool fnQX_Stack_SetBearer(const QXBearer *bearer) {
    if (!bearer) {
        g_layer.bearer = QXBearer{};
        return true;
    }
    QXBearer copy{};
    if (!fnQX_Stack_MakeBearer(&copy, bearer->ifname, bearer->source, bearer->dns)) return false;
    g_layer.bearer = copy;
    if (copy.ifname[0] || copy.dns[0])
        QX_LOG("bearer: interface %s source %s dns %s\n", copy.ifname[0] ? copy.ifname : "-",
               copy.source[0] ? copy.source : "-", copy.dns[0] ? copy.dns : "-");
    return true;
}

int fnQX_Stack_Init() {
    if (g_layer.serviceUp) return QX_SOCK_OK;  // one g_sock_init per matching finalize
    g_layer.lastError = 0;
    if (g_sock_init(0) == 0) {
        g_layer.serviceUp = true;
        return QX_SOCK_OK;
    }
    g_layer.serviceUp = false;
    return QX_SOCK_FAIL;
}

// Ends what Init started: every slot still held is closed and its address
// record released, so no handle outlives the service that made it.
void fnQX_Stack_Finalize() {
    for (int slot = 1; slot < QX_SOCKET_SLOTS; ++slot) fnQX_Stack_Close(slot);
    g_layer.bearer = QXBearer{};
    if (!g_layer.serviceUp) return;
    g_sock_finalize();
    g_layer.serviceUp = false;
}

int fnQX_Stack_Socket() {
    const OSAL_SOCKET s = g_sock_socket(1, 0, 0);
    if (s == 0) return QX_NO_SLOT;
    for (int slot = 1; slot < QX_SOCKET_SLOTS; ++slot) {
        if (g_layer.slots[slot].ISocket != 0) continue;
        release_addr(slot);
        g_layer.slots[slot] = kFreeEntry;
        g_layer.slots[slot].ISocket = s;
        const QXBearer &b = g_layer.bearer;
        if ((b.ifname[0] || b.source[0]) && g_sock_bind(s, b.ifname, b.source) != 0) {
            QX_LOG("socket cannot be tied to interface %s\n", b.ifname);
            g_sock_close(s);
            g_layer.slots[slot] = kFreeEntry;
            return QX_NO_SLOT;
        }
        return slot;
    }
    // Every slot is taken: the new socket would be lost, so close it now.
    QX_LOG("no free socket slot\n");
    g_sock_close(s);
    return QX_NO_SLOT;
}

int fnQX_Stack_SetAddr(int slot, const char *host, int port, QXAddrPath path) {
    if (!usable_slot(slot) || !host || port < 0 || port > 0xFFFF) return QX_STEP_FAILED;
    QXSocketEntry &e = g_layer.slots[slot];
    if (e.ISocket == 0) return QX_STEP_FAILED;

    // With the bearer's DNS servers the proxy's name is looked up as a
    // direct host's is, through those servers: never by osal's own resolver.
    if (path == QXAddrPath::Proxy && !g_layer.bearer.dns[0]) {
        release_addr(slot);
        e.nodeINAddr = reinterpret_cast<intptr_t>(host);
        e.nPort = static_cast<uint16_t>(port);
        e.iAddrState = QX_SLOT_READY;
        return QX_SOCK_OK;
    }

    e.nPort = g_sock_htons(static_cast<uint16_t>(port));
    switch (e.iAddrState) {
    case QX_SLOT_READY: return QX_SOCK_OK;
    case QX_SLOT_FAILED: return QX_STEP_FAILED;
    case QX_SLOT_PENDING: return poll_lookup(slot, e);
    default: break;
    }
    release_addr(slot);
    const QXBearer &b = g_layer.bearer;
    g_layer.slotAddr[slot] = b.dns[0] ? g_sock_resolve_dns(host, b.dns, b.ifname, 0) : g_sock_resolve(host);
    if (!g_layer.slotAddr[slot]) {
        QX_LOG("address lookup not started\n");
        e.nodeINAddr = 0;
        e.iAddrState = QX_SLOT_FAILED;
        return QX_STEP_FAILED;
    }
    e.nodeINAddr = reinterpret_cast<intptr_t>(g_layer.slotAddr[slot]);
    e.iAddrState = QX_SLOT_PENDING;
    return poll_lookup(slot, e);
}

int fnQX_Stack_Connect(int slot) {
    if (!usable_slot(slot)) return QX_SOCK_FAIL;
    QXSocketEntry &e = g_layer.slots[slot];
    if (e.ISocket == 0) return QX_SOCK_FAIL;
    switch (e.iConnect) {
    case QX_SLOT_READY:
        QX_LOG("before connect iConnect=1\n");
        return QX_SOCK_OK;
    case QX_SLOT_FAILED: return QX_SOCK_FAIL;
    case QX_SLOT_PENDING: return QX_STEP_AGAIN;
    default: break;
    }
    if (e.iAddrState != QX_SLOT_READY) {
        QX_LOG("connect without an address\n");
        return QX_SOCK_FAIL;
    }
    const int r = g_sock_connect(e.ISocket, reinterpret_cast<const void *>(e.nodeINAddr), e.nPort,
                                 fnQX_Stack_ConnectCb, &e);
    if (r != 0 && r != kOsalConnectUnderWay) {
        g_layer.lastError = g_sock_geterror(e.ISocket);
        QX_LOG("lastError =%d", static_cast<int>(g_layer.lastError));
        e.iConnect = QX_SLOT_FAILED;
        return QX_SOCK_FAIL;
    }
    if (e.iConnect == QX_SLOT_NONE) e.iConnect = QX_SLOT_PENDING;
    if (e.iConnect == QX_SLOT_PENDING) return QX_STEP_AGAIN;
    return e.iConnect == QX_SLOT_READY ? QX_SOCK_OK : QX_SOCK_FAIL;
}

void fnQX_Stack_ConnectCb(OSAL_SOCKET sock, int event, void *entry) {
    QXSocketEntry *e = entry_of(entry);
    // A completion for a socket that no longer owns the slot changes nothing.
    if (!e || e->ISocket == 0 || e->ISocket != sock) return;
    // The connect state only moves forward: a settled slot stays as it is.
    if (e->iConnect == QX_SLOT_READY || e->iConnect == QX_SLOT_FAILED) return;
    const int err = event == OSAL_SOCK_EVENT_CONNECT ? g_sock_geterror(sock) : -1;
    e->iConnect = err == 0 ? QX_SLOT_READY : QX_SLOT_FAILED;
    if (err > 0) g_layer.lastError = err;
    QX_LOG(">>>>>>call back :connect %d iConnect has been changed to %d", static_cast<int>(sock), e->iConnect);
}

int fnQX_Stack_SendData(int slot, const void *data, int count) {
    if (!usable_slot(slot)) return QX_STEP_FAILED;
    if (!data) return QX_STEP_NO_BUFFER;
    const QXSocketEntry &e = g_layer.slots[slot];
    if (e.iConnect != QX_SLOT_READY) return QX_STEP_FAILED;
    return g_sock_write(e.ISocket, data, count);
}

int fnQX_Stack_RecvData(int slot, void *buf, int capacity) {
    if (!usable_slot(slot)) return QX_STEP_FAILED;
    if (!buf) return QX_STEP_NO_BUFFER;
    const QXSocketEntry &e = g_layer.slots[slot];
    if (e.iConnect != QX_SLOT_READY) return QX_STEP_FAILED;
    return g_sock_read(e.ISocket, buf, capacity);
}

void fnQX_Stack_Close(int slot) {
    if (!usable_slot(slot)) return;
    QXSocketEntry &e = g_layer.slots[slot];
    if (e.ISocket != 0) g_sock_close(e.ISocket);
    release_addr(slot);
    e = kFreeEntry;
}
