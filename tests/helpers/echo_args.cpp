// Prints each argument on a line of its own and exits with the code given by the first.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        std::printf("%s\n", argv[i]);
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
