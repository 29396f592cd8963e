#include "Log.h"

#include <iostream>
#include <mutex>

namespace Log
{
void writeLine(const std::string& text)
{
    static std::mutex outputMutex;
    std::lock_guard<std::mutex> lock(outputMutex);
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout << std::endl;
}
}
