// Byte strings for the tests of the cipher primitives: from hex text (spaces allowed, as
// the published vectors print them) and as counting sequences.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != '\n' && c != ':') digits += c;
  Bytes b;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return b;
}

// n bytes counting up from `first` (wrapping at 256).
inline Bytes Range(int n, int first = 0) {
  Bytes b(n);
  for (int i = 0; i < n; i++) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Two texts of RFC 8439's examples and vectors.
inline const std::string& IetfContributionText() {
  static const std::string text =
      "Any submission to the IETF intended by the Contributor for publication as all or part "
      "of an IETF Internet-Draft or RFC and any statement made within the context of an IETF "
      "activity is considered an \"IETF Contribution\". Such statements include oral "
      "statements in IETF sessions, as well as written and electronic communications made at "
      "any time or place, which are addressed to";
  return text;
}

inline const std::string& JabberwockyText() {
  static const std::string text =
      "'Twas brillig, and the slithy toves\nDid gyre and gimble in the wabe:\nAll mimsy were "
      "the borogoves,\nAnd the mome raths outgrabe.";
  return text;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
