#include <cstdio>

int main()
{
    std::fputs("usage: mindaro COMMAND [options]\n", stderr);
    return 2;
}
