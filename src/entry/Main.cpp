#include "entry/Entry.h"

int wmain(int argc, wchar_t* argv[])
{
    // The exit status is an unsigned 32-bit Windows error number; the process
    // exit code carries all 32 bits.
    return static_cast<int>(RunEntry(argc, argv));
}
