#include <cstdio>

int main() {
    std::puts("Zorvantelquist 1.0");
    return 0;
}
