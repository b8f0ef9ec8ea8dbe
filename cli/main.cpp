#include <cstdio>

int main() {
    std::puts("tallymere-cli");
    return 0;
}
