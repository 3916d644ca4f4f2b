/* Links the installed library and calls it: before any open, the firmware
 * version reads "00.00". */
#include <stdio.h>
#include <string.h>

#include <telvo/telvo.h>
#include <telvo/telvo_backend.h>

int main(void) {
    const char* version = telvo_GetFirmwareVersion();
    printf("firmware %s, backend ABI %u\n", version, TELVO_BACKEND_ABI_VERSION);
    return strcmp(version, "00.00") == 0 ? 0 : 1;
}
