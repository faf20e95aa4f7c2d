// The stub of a layer check (cmake/TarnLibraries.cmake): a program around one
// library, which must link with what that library declares and nothing else.

#include "net/ApiBaseUrl.h"

// Each program defines the address; the check is one.
const QString apiBaseUrl;

int main()
{
    return 0;
}
