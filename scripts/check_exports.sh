#!/usr/bin/env bash
# Checks that the shared library exports no function outside the 33 of its
# C ABI. Usage: scripts/check_exports.sh path/to/librorodire.so
set -euo pipefail
lib="$1"
allowed="fnCPS_ComposeMMS fnCPS_ParserMMS fnCPS_SendMMS fnCPS_DownloadMMS fnCPS_ParseMMSNotification
fnMMS_AllocMessageMem fnMMS_FreeMessageMem fnMMS_ParseRetrieveConf fnMMS_ParseSendContent fnMMS_RecvSendConfData
fnMMS_RecvFwdConfData fnMMS_MakeFWDMessagePdu
fnQX_Malloc fnQX_Realloc fnQX_Free fnQX_MEMSTRCOPY fnQX_MEMCPY fnQX_MEMSET fnQX_MEMCMP fnQX_MEMCHR fnQX_MEMSTR
fnQX_STRLEN fnQX_STRCPY fnQX_STRNCPY fnQX_STRLCPY fnQX_STRCAT fnQX_STRLCAT fnQX_STRNCAT fnQX_STRCMP fnQX_STRNCMP
fnQX_STRBEGINS fnQX_STRLOWER fnQX_ATOI"
bad=0
count=0
while read -r sym; do
  count=$((count + 1))
  if ! grep -qw -- "$sym" <<<"$allowed"; then echo "unexpected export: $sym"; bad=1; fi
done < <(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWiV]$/ || $2 ~ /^[BDR]$/ {print $3}')
echo "$count exported symbols"
exit $bad
