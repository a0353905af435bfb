#include "VariantMap.h"

#include "String.h"
#include "Utils.h"

using json = nlohmann::json;

namespace {

void parse(const std::string& key, const json& value, const VariantMap::Visitor& visit) {
    if (value.is_object()) {
        for (const auto& item : value.items())
            parse(key + "/" + item.key(), item.value(), visit);
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i)
            parse(key + "/" + std::to_string(i), value[i], visit);
    } else {
        visit(key, VariantMap::fromJsonScalar(value));
    }
}

std::vector<std::string> splitPath(const std::string& key) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= key.size()) {
        const std::size_t end = std::min(key.find('/', start), key.size());
        if (end > start)
            parts.push_back(key.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Text parsed as JSON, or the text itself as a JSON string when it does not parse.
json parsedOrText(const std::string& text) {
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded())
        return json(text);
    return doc;
}

} // namespace

void VariantMap::flattenJson(const json& doc, const Visitor& visit) {
    if (doc.is_null())
        return;
    if (doc.is_object()) {
        for (const auto& item : doc.items())
            parse(item.key(), item.value(), visit);
    } else if (doc.is_array()) {
        for (std::size_t i = 0; i < doc.size(); ++i)
            parse(std::to_string(i), doc[i], visit);
    } else {
        parse("", doc, visit);
    }
}

Variant VariantMap::fromJsonScalar(const json& value) {
    switch (value.type()) {
    case json::value_t::string:
        return Variant(value.get<std::string>());
    case json::value_t::boolean:
        return Variant(value.get<bool>());
    case json::value_t::number_integer:
        return Variant(value.get<long long>());
    case json::value_t::number_unsigned:
        return Variant(value.get<unsigned long long>());
    case json::value_t::number_float:
        return Variant(value.get<double>());
    default:
        return Variant();
    }
}

json VariantMap::jsonValue(const Variant& value) {
    const std::string& text = value.toString();
    switch (value.type()) {
    case Variant::String:
        // Objects stored as text (e.g. a whole section) go back into the document as objects.
        if (!text.empty() && text.front() == '{')
            return parsedOrText(text);
        return json(text);
    case Variant::Int:
        return json(value.toInt());
    case Variant::UInt:
        return json(value.toUInt());
    case Variant::Double:
        return json(value.toDouble());
    case Variant::Bool:
        return json(value.toBool());
    case Variant::Map:
        return parsedOrText(text);
    case Variant::Null:
        return json();
    }
    return json(text);
}

json VariantMap::nestJson(const std::map<std::string, Variant>& values, std::vector<std::string>* skipped) {
    json root;
    auto skip = [skipped](const std::string& key) {
        if (skipped)
            skipped->push_back(key);
    };
    for (const auto& [key, value] : values) {
        const auto parts = splitPath(key);
        if (parts.empty()) {
            // The key of a scalar document: the value is the whole document.
            if (root.is_null())
                root = jsonValue(value);
            else
                skip(key);
            continue;
        }
        json* node = &root;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (node->is_null())
                *node = json::object();
            if (!node->is_object()) {
                skip(key);
                break;
            }
            json& member = (*node)[parts[i]];
            if (i + 1 == parts.size()) {
                member = jsonValue(value);
                break;
            }
            if (String::isNumeric(parts[i + 1])) {
                if (member.is_null())
                    member = json::array();
                if (member.is_array())
                    member.push_back(jsonValue(value));
                else
                    skip(key);
                break;
            }
            node = &member;
        }
    }
    return root;
}

void VariantMap::set(const std::string& key, const Variant& value) {
    if (value.type() == Variant::Map) {
        const VariantMap map = value.toMap();
        for (const auto& [subKey, subValue] : map.values())
            mValues[key + "/" + subKey] = subValue;
        return;
    }
    mValues[key] = value;
}

Variant VariantMap::get(const std::string& key) const {
    const auto it = mValues.find(key);
    if (it != mValues.end())
        return it->second;
    VariantMap below;
    const std::string pattern = key + "/*";
    for (const auto& [k, v] : mValues) {
        if (Utils::match(k, pattern))
            below.mValues[k.substr(key.size() + 1)] = v;
    }
    if (below.empty())
        return Variant();
    return Variant(below);
}

std::list<std::string> VariantMap::keys() const {
    std::list<std::string> result;
    for (const auto& entry : mValues)
        result.push_back(entry.first);
    return result;
}

void VariantMap::erase(const std::string& key) {
    const std::string pattern = key + "/*";
    std::erase_if(
        mValues, [&](const auto& entry) { return entry.first == key || Utils::match(entry.first, pattern); });
}

void VariantMap::merge(const VariantMap& other) {
    for (const auto& [key, value] : other.mValues)
        mValues.emplace(key, value);
}

json VariantMap::toJson() const {
    return nestJson(mValues);
}

void VariantMap::fromJson(const json& doc) {
    mValues.clear();
    flattenJson(doc, [this](const std::string& key, const Variant& value) { mValues[key] = value; });
}
