// Stays running until killed or its input ends, echoing each input line, so that a
// test can check the program still works while its file is being replaced.
#include <iostream>
#include <string>

int main() {
    std::string line;
    while (std::getline(std::cin, line)) std::cout << line << std::endl;
    return 0;
}
