// Socket porting layer: a fixed table of sockets between the HTTP client
// and the osal sockets. The HTTP client holds slot numbers, never handles.
#ifndef GLIB_QX_STACK_PORTING_H
#define GLIB_QX_STACK_PORTING_H

#include <cstdint>

#include "osal.h"

constexpr int QX_SOCKET_SLOTS = 20;  // slot 0 is never handed out

struct QXSocketEntry {
    OSAL_SOCKET ISocket;  // 0 marks a free slot
    intptr_t nodeINAddr;  // where to connect (pointer-sized: it may hold a text's address)
    uint16_t nPort;       // host order on the proxy path, network order on the direct path
    int32_t iAddrState;   // 0 nothing yet, 1 set, -2 pending, -1 failed
    int32_t iConnect;     // 0 not connected, -2 under way, 1 connected, -1 failed
};

extern QXSocketEntry socket_list[QX_SOCKET_SLOTS];

int fnQX_Stack_Init();
void fnQX_Stack_Finalize();
int fnQX_Stack_Socket();
int fnQX_Stack_SetAddr(int slot, const char *host, int port);
int fnQX_Stack_Connect(int slot);
int fnQX_Stack_SendData(int slot, const void *data, int count);
int fnQX_Stack_RecvData(int slot, void *buf, int capacity);
void fnQX_Stack_Close(int slot);
void fnQX_Stack_ConnectCb(OSAL_SOCKET sock, int event, void *entry);

#endif
