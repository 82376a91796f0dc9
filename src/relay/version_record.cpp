// pilro-relay.so's version record (src/module/version_record.h), the values of
// pilro-relay.rc.
#include "../module/version_record.h"

// The comment reads "中継・送受信ログ取得SAORI".
PILRO_VERSION_RECORD(
    "\xE4\xB8\xAD\xE7\xB6\x99\xE3\x83\xBB\xE9\x80\x81\xE5\x8F\x97\xE4\xBF\xA1\xE3\x83\xAD\xE3\x82"
    "\xB0\xE5\x8F\x96\xE5\xBE\x97SAORI",
    "pilro-relay: relays to the real SAORI module and logs both directions", "pilro-relay",
    "pilro-relay.dll");
