// Reading INF files.
#include "inf_reader.h"

#include <setupapi.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string Trim(const std::string &text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// The logical lines of the file: comments removed, continued lines joined.
std::vector<std::string> LogicalLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string pending;
    std::istringstream stream(text);
    std::string raw;
    while (std::getline(stream, raw)) {
        std::string line;
        bool quoted = false;
        for (char c : raw) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ';' && !quoted) {
                break;
            }
            line += c;
        }
        line = Trim(line);
        if (!line.empty() && line.back() == '\\') {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        pending += line;
        if (!Trim(pending).empty()) {
            lines.push_back(Trim(pending));
        }
        pending.clear();
    }
    if (!Trim(pending).empty()) {
        lines.push_back(Trim(pending));
    }
    return lines;
}

// One field: surrounding blanks dropped, quotes removed ("" inside quotes is a quote).
std::string FieldText(const std::string &raw)
{
    std::string trimmed = Trim(raw);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < trimmed.size(); ++i) {
        char c = trimmed[i];
        if (c == '"') {
            if (quoted && i + 1 < trimmed.size() && trimmed[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else {
            field += c;
        }
    }
    return field;
}

// Splits at the separator where it is outside quotes; `first` stops after one split.
std::vector<std::string> SplitOutsideQuotes(const std::string &text, char separator, bool first)
{
    std::vector<std::string> parts;
    std::string current;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        }
        if (c == separator && !quoted && !(first && !parts.empty())) {
            parts.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    parts.push_back(current);
    return parts;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

DWORD InfFile::Load(const std::string &hostPath)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(hostPath, error)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::ifstream file(hostPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
        return ERROR_FILE_NOT_FOUND;
    }
    hostPath_ = hostPath;
    hostDirectory_ = std::filesystem::path(hostPath).parent_path().string();
    sections_.clear();
    std::string content = text.str();
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        content.erase(0, 3);
    }
    Parse(content);
    SubstituteStrings();
    std::string signature = Value("Version", "Signature");
    if (!SameName(signature, "$Windows NT$") && !SameName(signature, "$Chicago$")) {
        return ERROR_WRONG_INF_STYLE;
    }
    return ERROR_SUCCESS;
}

void InfFile::Parse(const std::string &text)
{
    std::vector<Line> *section = nullptr;
    for (const std::string &line : LogicalLines(text)) {
        if (line.front() == '[') {
            size_t close = line.find(']');
            std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos
                                                                               : close - 1));
            section = nullptr;
            for (auto &existing : sections_) {
                if (SameName(existing.first, name)) {
                    section = &existing.second;
                }
            }
            if (section == nullptr) {
                sections_.emplace_back(name, std::vector<Line>());
                section = &sections_.back().second;
            }
            continue;
        }
        if (section == nullptr) {
            continue;  // lines before the first section belong to none
        }
        Line parsed;
        std::vector<std::string> sides = SplitOutsideQuotes(line, '=', true);
        std::string values = sides.back();
        if (sides.size() == 2) {
            parsed.key = FieldText(sides[0]);
        }
        for (const std::string &field : SplitOutsideQuotes(values, ',', false)) {
            parsed.fields.push_back(FieldText(field));
        }
        section->push_back(std::move(parsed));
    }
}

void InfFile::SubstituteStrings()
{
    const std::vector<Line> strings = Section("Strings") ? *Section("Strings") : std::vector<Line>();
    auto substitute = [&](const std::string &text) {
        std::string result;
        for (size_t i = 0; i < text.size(); ++i) {
            size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
            if (close == std::string::npos) {
                result += text[i];
                continue;
            }
            std::string name = text.substr(i + 1, close - i - 1);
            const Line *entry = nullptr;
            for (const Line &line : strings) {
                if (SameName(line.key, name)) {
                    entry = &line;
                }
            }
            if (name.empty()) {
                result += '%';
            } else if (entry != nullptr) {
                result += entry->fields.front();
            } else {
                result += text.substr(i, close - i + 1);
            }
            i = close;
        }
        return result;
    };
    for (auto &section : sections_) {
        if (SameName(section.first, "Strings")) {
            continue;
        }
        for (Line &line : section.second) {
            line.key = substitute(line.key);
            for (std::string &field : line.fields) {
                field = substitute(field);
            }
        }
    }
}

const std::vector<InfFile::Line> *InfFile::Section(std::string_view name) const
{
    for (const auto &section : sections_) {
        if (SameName(section.first, name)) {
            return &section.second;
        }
    }
    return nullptr;
}

std::string InfFile::Value(std::string_view section, std::string_view key) const
{
    const std::vector<Line> *lines = Section(section);
    if (lines != nullptr) {
        for (const Line &line : *lines) {
            if (SameName(line.key, key)) {
                return line.fields.front();
            }
        }
    }
    return std::string();
}

std::string InfFile::PlatformSection(const std::string &name) const
{
    for (const std::string &candidate : {name + ".NTx86", name + ".NT", name}) {
        if (Section(candidate) != nullptr) {
            return candidate;
        }
    }
    return std::string();
}
