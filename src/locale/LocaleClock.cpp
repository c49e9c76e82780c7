#include "locale/LocaleClock.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <vector>

namespace regional {
namespace {

// One piece of a Qt date-time format: a field (a run of one letter), quoted text, or one
// character of plain text between fields.
struct Piece {
    enum Kind { Field, Quoted, Plain } kind;
    QString text;
};

std::vector<Piece> SplitFormat(const QString& format) {
    std::vector<Piece> pieces;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        qsizetype end = i + 1;
        Piece::Kind kind = Piece::Plain;
        if (c == u'\'') {
            // Up to the closing quote; a doubled quote inside stands for one quote.
            kind = Piece::Quoted;
            while (end < format.size()) {
                if (format[end] == u'\'' &&
                    !(end + 1 < format.size() && format[end + 1] == u'\'')) {
                    ++end;
                    break;
                }
                end += format[end] == u'\'' ? 2 : 1;
            }
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            kind = Piece::Field;
            while (end < format.size() && format[end] == c) {
                ++end;
            }
        }
        pieces.push_back({kind, format.mid(i, end - i)});
        i = end;
    }
    return pieces;
}

// Plain text that only frames or separates the zone field: blanks, commas, brackets.
bool FramesTheZone(const Piece& piece, bool before) {
    if (piece.kind != Piece::Plain) {
        return false;
    }
    const QChar c = piece.text[0];
    if (c.isSpace() || c == u',' || c == u'\u060C' || c == u'\uFF0C' || c == u'\u3001') {
        return true;
    }
    const QChar::Category opening = QChar::Punctuation_Open;
    const QChar::Category closing = QChar::Punctuation_Close;
    return c.category() == (before ? opening : closing);
}

} // namespace

QString TimeFormatWithoutZone(const QLocale& locale) {
    std::vector<Piece> pieces = SplitFormat(locale.timeFormat(QLocale::LongFormat));
    std::size_t zone = 0;
    while (zone < pieces.size()) {
        if (pieces[zone].kind != Piece::Field || pieces[zone].text[0] != u't') {
            ++zone;
            continue;
        }
        std::size_t first = zone;
        std::size_t last = zone + 1;
        while (first > 0 && FramesTheZone(pieces[first - 1], true)) {
            --first;
        }
        while (last < pieces.size() && FramesTheZone(pieces[last], false)) {
            ++last;
        }
        const auto at = [&pieces](std::size_t index) {
            return pieces.begin() + static_cast<std::ptrdiff_t>(index);
        };
        // Between two other pieces the zone leaves one blank, so they do not run together.
        const bool between = first > 0 && last < pieces.size();
        pieces.erase(at(first), at(last));
        if (between) {
            pieces.insert(at(first), Piece{Piece::Plain, QStringLiteral(" ")});
        }
        zone = between ? first + 1 : first;
    }
    QString format;
    for (const Piece& piece : pieces) {
        format += piece.text;
    }
    return format;
}

std::string LocaleClock::TimeOfDay() {
    const QLocale locale = QLocale::system();
    return locale.toString(QTime::currentTime(), TimeFormatWithoutZone(locale)).toStdString();
}

std::string LocaleClock::LongDate() {
    return QLocale::system().toString(QDate::currentDate(), QLocale::LongFormat).toStdString();
}

std::int64_t LocaleClock::UtcNow() {
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace regional
