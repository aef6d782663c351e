// ruvo: rotational spectra of asymmetric tops with up to three internal rotors.
// Reads the input file from standard input and writes the listing to
// standard output; takes no arguments.
#include <iostream>

#include "driver/program.h"

int main() { return ruvo::runProgram(std::cin, std::cout, std::cerr); }
