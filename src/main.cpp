#include "native/native.h"
#include "run.h"

#ifdef _WIN32
int wmain(int argc, wchar_t* argv[])
#else
int main(int argc, char* argv[])
#endif
{
    return run(argc, argv);
}
