// pilro-stub.so's version record (src/module/version_record.h), the values of pilro-stub.rc.
#include "../module/version_record.h"

// The comment reads "記録再生・送受信ログ取得SAORI".
PILRO_VERSION_RECORD(
    "\xE8\xA8\x98\xE9\x8C\xB2\xE5\x86\x8D\xE7\x94\x9F\xE3\x83\xBB\xE9\x80\x81\xE5\x8F\x97\xE4"
    "\xBF\xA1\xE3\x83\xAD\xE3\x82\xB0\xE5\x8F\x96\xE5\xBE\x97SAORI",
    "pilro-stub: answers in the real SAORI module's place from its captured replies", "pilro-stub",
    "pilro-stub.dll");
