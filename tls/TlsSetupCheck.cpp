#include "TlsSetupCheck.h"

#include "PemReader.h"
#include "SafeFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace
{
constexpr std::size_t maxCaFileSize = 8 * 1024 * 1024;

std::string folderOf(const std::string& path)
{
    const std::string folder = std::filesystem::path(path).parent_path().string();
    return folder.empty() ? "." : folder;
}
}

namespace TlsSetupCheck
{
std::string versions(const ListenerOptions& options)
{
    if (options.lowestVersion <= options.highestVersion)
        return std::string();
    return std::string("The lowest version (") + versionName(options.lowestVersion) + ") is above the highest ("
        + versionName(options.highestVersion) + ")";
}

std::string clientCertificates(const ListenerOptions& options)
{
    if (options.clientCertificates == ClientCertificates::Off)
        return std::string();
    if (options.clientCaFile.empty())
        return "Choose the CA file that client certificates are checked against";
    std::string pem;
    std::string problem;
    if (SafeFiles::readSmallFile(options.clientCaFile, maxCaFileSize, pem, problem)
        && !PemReader::certificates(pem, problem).empty())
        return std::string();
    return SafeFiles::fileName(options.clientCaFile) + ": " + problem;
}

std::string keyLogFile(const std::string& path)
{
    if (path.empty())
        return "Choose the file the secrets are written to";
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode))
            return SafeFiles::fileName(path) + ": is not a regular file";
        if (::access(path.c_str(), W_OK) != 0)
            return SafeFiles::fileName(path) + ": cannot be written: " + std::strerror(errno);
        return std::string();
    }
    const std::string folder = folderOf(path);
    if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return SafeFiles::fileName(path) + ": the folder " + folder + " does not exist";
    if (::access(folder.c_str(), W_OK) != 0)
        return SafeFiles::fileName(path) + ": the folder " + folder + " cannot be written to";
    return std::string();
}
}
