#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>

// The fields of one JSON object in a rule file, each read with its type
// checked. Whatever is wrong is reported with the field's path (such as
// "condition.value") and the field is then treated as absent.
class JsonFields
{
public:
    using Json = nlohmann::ordered_json;
    using Report = std::function<void(const std::string& path, const std::string& message)>;

    // path is where the object is ("" for a rule itself).
    JsonFields(const Json& value, std::string path, Report report);

    bool isObject() const { return object != nullptr; }
    bool has(const char* key) const;
    std::string pathOf(const char* key) const;

    // A string of Latin-1 characters, as bytes.
    std::optional<std::string> bytes(const char* key) const;
    // A string as it is (UTF-8), such as a file's path.
    std::optional<std::string> text(const char* key) const;
    std::optional<bool> flag(const char* key) const;
    std::optional<std::uint64_t> number(const char* key, std::uint64_t min, std::uint64_t max) const;
    const Json* array(const char* key) const;
    const Json* member(const char* key) const;

    void missing(const char* key) const;
    // Reports every field not named in known.
    void onlyKnown(std::initializer_list<const char*> known) const;
    void report(const char* key, const std::string& message) const;

private:
    const Json* typed(const char* key, Json::value_t type, const char* expected) const;

    const Json* object = nullptr;
    std::string where;
    Report sink;
};
