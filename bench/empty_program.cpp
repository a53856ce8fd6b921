// The floor for resident memory: a C++ program that does nothing but say it
// is ready and wait for the end of its input.

#include <iostream>

int main() {
  std::cout << "ready" << std::endl;
  char c;
  while (std::cin.get(c)) {
  }
}
