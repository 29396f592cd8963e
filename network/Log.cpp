#include "Log.h"

#include <iostream>
#include <mutex>

namespace Log
{
void writeLine(const std::string& text)
{
    static std::mutex outputMutex;
    std::lock_guard<std::mutex> lock(outputMutex);
    std::cout << text << std::endl;
}
}
