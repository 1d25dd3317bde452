#include <share.h>

#include "log_file.h"

// Other programs may read the log while it is written, but no second writer
// may open it: the system checks the sharing before it empties the file.
std::FILE* CreateLog(const char* name) { return _fsopen(name, "wb", _SH_DENYWR); }
