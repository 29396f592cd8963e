#include "JsonFields.h"

#include "Latin1Text.h"

#include <algorithm>

JsonFields::JsonFields(const Json& value, std::string path, Report report)
    : where(std::move(path))
    , sink(std::move(report))
{
    if (value.is_object())
        object = &value;
    else
        sink(where, std::string("expected an object, found ") + value.type_name());
}

bool JsonFields::has(const char* key) const
{
    return object && object->contains(key);
}

std::string JsonFields::pathOf(const char* key) const
{
    return where.empty() ? key : where + "." + key;
}

void JsonFields::report(const char* key, const std::string& message) const
{
    sink(pathOf(key), message);
}

void JsonFields::missing(const char* key) const
{
    report(key, "missing");
}

const JsonFields::Json* JsonFields::typed(const char* key, Json::value_t type, const char* expected) const
{
    if (!has(key))
        return nullptr;
    const Json& value = object->at(key);
    const bool unsignedWanted = type == Json::value_t::number_unsigned;
    if (value.type() == type || (unsignedWanted && value.is_number_integer() && value.get<std::int64_t>() >= 0))
        return &value;
    report(key, std::string("expected ") + expected + ", found " + value.type_name()
                    + (value.is_number() ? " " + value.dump() : ""));
    return nullptr;
}

std::optional<std::string> JsonFields::text(const char* key) const
{
    const Json* value = typed(key, Json::value_t::string, "a string");
    return value ? std::optional<std::string>(value->get<std::string>()) : std::nullopt;
}

std::optional<std::string> JsonFields::bytes(const char* key) const
{
    const std::optional<std::string> utf8 = text(key);
    if (!utf8)
        return std::nullopt;
    std::string latin1;
    std::string error;
    if (Latin1Text::fromUtf8(*utf8, latin1, error))
        return latin1;
    report(key, error);
    return std::nullopt;
}

std::optional<bool> JsonFields::flag(const char* key) const
{
    const Json* value = typed(key, Json::value_t::boolean, "true or false");
    return value ? std::optional<bool>(value->get<bool>()) : std::nullopt;
}

std::optional<std::uint64_t> JsonFields::number(const char* key, std::uint64_t min, std::uint64_t max) const
{
    const Json* value = typed(key, Json::value_t::number_unsigned, "a whole number");
    if (!value)
        return std::nullopt;
    const auto number = value->get<std::uint64_t>();
    if (number >= min && number <= max)
        return number;
    report(key, std::to_string(number) + " is out of range: from " + std::to_string(min) + " to "
                    + std::to_string(max));
    return std::nullopt;
}

const JsonFields::Json* JsonFields::array(const char* key) const
{
    return typed(key, Json::value_t::array, "an array");
}

const JsonFields::Json* JsonFields::member(const char* key) const
{
    return typed(key, Json::value_t::object, "an object");
}

void JsonFields::onlyKnown(std::initializer_list<const char*> known) const
{
    if (!object)
        return;
    for (const auto& item : object->items()) {
        const bool isKnown = std::any_of(known.begin(), known.end(),
                                         [&item](const char* name) { return item.key() == name; });
        if (!isKnown)
            sink(pathOf(item.key().c_str()), "unknown field");
    }
}
