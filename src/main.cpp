#include "shell/kestrune_main.hpp"

int main() { return kestrune::shell::kestrune_main(); }
