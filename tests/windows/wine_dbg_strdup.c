/* Wine's test harness keeps its formatted messages with __wine_dbg_strdup, an export of
 * Wine's ntdll that mingw-w64's import libraries do not list; a copy that lives until the
 * process ends is all the harness needs. */
#include <stdlib.h>
#include <string.h>

const char *__cdecl __wine_dbg_strdup(const char *text)
{
    return strdup(text);
}
