#include "description_terms.h"

#include "family_table.h"

namespace tilevista {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && isBlank(text[first])) ++first;
  while (last > first && isBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  for (std::string& part : parts) part = trimmed(part);
  return parts;
}

std::string quoted(const std::string& text) { return quotedForMessage(text); }

// Reads a parameter's text, decimal digits only, into [rule.least, most].
bool readValue(const std::string& text, const ParameterRule& rule, std::int32_t n,
               const std::string& term, std::int64_t* value, std::string* cause) {
  const std::int64_t most = rule.atMostLength && n < rule.most ? n : rule.most;
  const std::string range = std::string(rule.name) + " must be a whole number from " +
                            std::to_string(rule.least) + " to " + std::to_string(most);
  bool digits = !text.empty();
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) {
    *cause = "in " + quoted(term) + ", " + range + "; it is " + quoted(text) + ".";
    return false;
  }
  std::int64_t v = 0;
  for (char c : text) {
    v = v * 10 + (c - '0');
    if (v > most) break;  // no overflow: most is far below 2^63 / 10
  }
  if (v < rule.least || v > most) {
    *cause = "in " + quoted(term) + ", " + range + "; it is " + quoted(text) + ".";
    if (rule.atMostLength && v > n && n < rule.most) {
      *cause += " A polynomial of degree n or more is no new vector on n points.";
    }
    return false;
  }
  *value = v;
  return true;
}

bool readTerm(const std::string& term, std::int32_t n, DescriptionTerm* out, std::string* cause) {
  const std::vector<std::string> parts = split(term, ':');
  const std::vector<FamilyRule>& rules = familyRules();
  std::size_t family = 0;
  while (family < rules.size() && parts[0] != rules[family].name) ++family;
  if (family == rules.size()) {
    *cause = "unknown family " + quoted(parts[0]) + ".";
    return false;
  }
  const FamilyRule& rule = rules[family];
  if (parts.size() - 1 != rule.parameters.size()) {
    *cause = quoted(term) + " has " + std::to_string(parts.size() - 1) + " parameter(s); " +
             rule.name + " is written " + familySyntax(rule) + ".";
    return false;
  }
  out->family = family;
  out->values.assign(rule.parameters.size(), 0);
  out->parameter.clear();
  for (std::size_t i = 0; i < rule.parameters.size(); ++i) {
    if (!readValue(parts[i + 1], rule.parameters[i], n, term, &out->values[i], cause)) {
      return false;
    }
    out->parameter += (i == 0 ? "" : ":") + std::to_string(out->values[i]);
  }
  return true;
}

}  // namespace

std::string quotedForMessage(const std::string& text) {
  const std::size_t shown = 64;
  return "\"" + (text.size() <= shown ? text : text.substr(0, shown) + "...") + "\"";
}

bool readDescription(const std::string& description, std::int32_t n,
                     std::vector<DescriptionTerm>* terms, std::string* cause) {
  terms->clear();
  if (trimmed(description).empty()) {
    *cause = "the description names no family.";
    return false;
  }
  const std::vector<std::string> texts = split(description, '+');
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].empty()) {
      *cause = "term " + std::to_string(i + 1) + " of " + std::to_string(texts.size()) +
               " is empty (a '+' with no family on one side).";
      return false;
    }
    DescriptionTerm term;
    if (!readTerm(texts[i], n, &term, cause)) return false;
    terms->push_back(term);
  }
  return true;
}

}  // namespace tilevista
