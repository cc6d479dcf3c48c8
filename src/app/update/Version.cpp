#include "app/update/Version.h"

#include <vector>

namespace lc::update {
namespace {

struct Token {
    bool number = false;
    QStringView text; // for numbers: the digits without leading zeros
};

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

std::vector<Token> tokenize(QStringView v) {
    std::vector<Token> tokens;
    qsizetype i = 0;
    while (i < v.size()) {
        const QChar c = v[i];
        if (isDigit(c)) {
            qsizetype j = i;
            while (j < v.size() && isDigit(v[j]))
                ++j;
            qsizetype start = i;
            while (start + 1 < j && v[start] == u'0')
                ++start;
            tokens.push_back({true, v.sliced(start, j - start)});
            i = j;
        } else if (c.isLetter()) {
            qsizetype j = i;
            while (j < v.size() && v[j].isLetter())
                ++j;
            tokens.push_back({false, v.sliced(i, j - i)});
            i = j;
        } else {
            ++i; // separators: '.', '-', '_', '+', blanks
        }
    }
    return tokens;
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

int compareNumbers(QStringView a, QStringView b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return sign(a.compare(b));
}

bool isZero(const Token& t) {
    return t.number && t.text == u"0";
}

// The longer version's remaining tokens decide: a pre-release tag makes it older, a
// non-zero number newer, only zeros change nothing.
int compareTail(const std::vector<Token>& tokens, size_t from) {
    for (size_t i = from; i < tokens.size(); ++i) {
        if (isZero(tokens[i])) continue;
        return tokens[i].number ? 1 : -1;
    }
    return 0;
}

} // namespace

int compareVersions(QStringView a, QStringView b) {
    const auto ta = tokenize(a);
    const auto tb = tokenize(b);
    const size_t common = std::min(ta.size(), tb.size());
    for (size_t i = 0; i < common; ++i) {
        const Token& x = ta[i];
        const Token& y = tb[i];
        int c = 0;
        if (x.number && y.number)
            c = compareNumbers(x.text, y.text);
        else if (!x.number && !y.number)
            c = sign(x.text.compare(y.text, Qt::CaseInsensitive));
        else
            c = x.number ? 1 : -1; // 1.2.1 is newer than 1.2a
        if (c != 0) return c;
    }
    if (ta.size() > common) return compareTail(ta, common);
    if (tb.size() > common) return -compareTail(tb, common);
    return 0;
}

} // namespace lc::update
