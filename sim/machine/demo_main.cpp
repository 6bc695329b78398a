#include <cstdio>

int main()
{
    std::puts("simulated machine: nothing to boot yet");
    return 0;
}
