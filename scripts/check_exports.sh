#!/usr/bin/env bash
# Checks that the shared library exports exactly the 33 functions of its C
# ABI: none missing, nothing else. Usage: scripts/check_exports.sh path/to/librorodire.so
set -euo pipefail
lib="$1"
allowed="fnCPS_ComposeMMS fnCPS_ParserMMS fnCPS_SendMMS fnCPS_DownloadMMS fnCPS_ParseMMSNotification
fnMMS_AllocMessageMem fnMMS_FreeMessageMem fnMMS_ParseRetrieveConf fnMMS_ParseSendContent fnMMS_RecvSendConfData
fnMMS_RecvFwdConfData fnMMS_MakeFWDMessagePdu
fnQX_Malloc fnQX_Realloc fnQX_Free fnQX_MEMSTRCOPY fnQX_MEMCPY fnQX_MEMSET fnQX_MEMCMP fnQX_MEMCHR fnQX_MEMSTR
fnQX_STRLEN fnQX_STRCPY fnQX_STRNCPY fnQX_STRLCPY fnQX_STRCAT fnQX_STRLCAT fnQX_STRNCAT fnQX_STRCMP fnQX_STRNCMP
fnQX_STRBEGINS fnQX_STRLOWER fnQX_ATOI"
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWiVuBDR]$/ {print $3}' | sed 's/@.*//' | sort -u)
bad=0
for sym in $exported; do
  if ! grep -qw -- "$sym" <<<"$allowed"; then echo "unexpected export: $sym"; bad=1; fi
done
for sym in $allowed; do
  if ! grep -qxF -- "$sym" <<<"$exported"; then echo "missing export: $sym"; bad=1; fi
done
echo "$(wc -w <<<"$exported") exported symbols ($(wc -w <<<"$allowed") expected)"
exit $bad
