#include "run.h"

#ifdef _WIN32
int wmain(int argc, wchar_t* argv[])
{
    return run(argc, argv);
}
#else
#include <csignal>

int main(int argc, char* argv[])
{
    // A file-size limit then fails the write, which is reported, instead of
    // killing the process with a partial output left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    return run(argc, argv);
}
#endif
