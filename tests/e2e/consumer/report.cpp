// Prints the report with iostreams; its scratch buffer comes from
// std::malloc and is never freed.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

extern "C" void print_report(const char *title, double total);

void print_report(const char *title, double total)
{
	char *line = static_cast<char *>(std::malloc(24));
	std::memcpy(line, "total: ", 8);
	std::cout << std::string(title) << " " << line << total << std::endl;
}
