// The quillet executable (start-up comes with the foundation work).
#include <cstdio>

int main() {
  std::puts("quillet: start-up not built yet");
  return 0;
}
