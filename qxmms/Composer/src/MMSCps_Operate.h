// The composer's operations behind fnCPS_ComposeMMS and fnCPS_ParserMMS.
#ifndef MMSCPS_OPERATE_H
#define MMSCPS_OPERATE_H

#include "rorodire.h"

// Action 0: compose a new send request from the host's message.
int CPS_ComposeNew(tCPS_MmsData *mmsDatabuf, tCPS_PduBuf *pMMSPduBuf);
// Action 1: take a stored send request apart into the host's message.
int CPS_OpenStored(tCPS_MmsData *mmsDatabuf, const tCPS_PduBuf *pMMSPduBuf);

#endif
