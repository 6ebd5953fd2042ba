#include "app/Config.h"

#include "core/Cp1250.h"
#include "core/SafeFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>

#include <memory>

TMIniFile::TMIniFile(const QString& fileName, const QString& programDir)
{
    QString dir = programDir;
    if (dir.isEmpty() && QCoreApplication::instance())
        dir = QCoreApplication::applicationDirPath();
    FileName = ResolveFileName(fileName, QDir::currentPath(), dir);
    constexpr qint64 Limit = SizeLimit;
    QByteArray bytes;
    qint64 size = 0;
    const TFileRead read = ReadRegularFile(FileName, Limit, bytes, size, Problem);
    if (read == TFileRead::Read && size > Limit)
        Problem = QStringLiteral("%1 is larger than %2 bytes").arg(FileName).arg(Limit);
    else if (read == TFileRead::Read) {
        Loaded = true;
        SetText(DecodeText(bytes, &Legacy));
    }
}

TMIniFile::TMIniFile(TGiven, const QString& fullName, const QByteArray& bytes)
    : FileName(fullName)
    , Loaded(true)
{
    SetText(DecodeText(bytes, &Legacy));
}

TMIniFile::~TMIniFile()
{
    if (Modified)
        UpdateFile();
}

QString TMIniFile::ResolveFileName(const QString& fileName, const QString& currentDir, const QString& programDir)
{
    QString name = fileName.trimmed();
    if (name.isEmpty())
        name = QString::fromLatin1(DefaultName);
    if (QFileInfo(name).suffix().isEmpty())
        name += QStringLiteral(".ini");
    const bool bare = !name.contains(QLatin1Char('/'));
    const QDir cur(currentDir);
    if (bare && !programDir.isEmpty() && !QFileInfo::exists(cur.filePath(name))) {
        const QString beside = QDir(programDir).filePath(name);
        if (QFileInfo::exists(beside))
            return QDir::cleanPath(QFileInfo(beside).absoluteFilePath());
    }
    return QDir::cleanPath(cur.absoluteFilePath(name));
}

QString TMIniFile::DecodeText(const QByteArray& bytes, bool* legacy)
{
    QByteArray data = bytes;
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(data);
    if (!utf8.hasError()) {
        if (legacy)
            *legacy = false;
        return text;
    }
    if (legacy)
        *legacy = true;
    return FromCp1250(bytes);
}

bool TMIniFile::ParseInteger(const QString& text, int32_t& value)
{
    QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    bool negative = false;
    if (t.startsWith(QLatin1Char('-')) || t.startsWith(QLatin1Char('+'))) {
        negative = t.startsWith(QLatin1Char('-'));
        t.remove(0, 1);
    }
    int base = 10;
    if (t.startsWith(QLatin1Char('$'))) {
        base = 16;
        t.remove(0, 1);
    } else if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        t.remove(0, 2);
    }
    if (t.isEmpty())
        return false;
    int64_t v = 0;
    for (const QChar c : t) {
        int d;
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            d = c.unicode() - '0';
        else if (base == 16 && c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'))
            d = c.toLower().unicode() - 'a' + 10;
        else
            return false;
        v = v * base + d;
        // Hexadecimal may spell the full 32-bit pattern ($FFFFFFFF = -1).
        if (v > (base == 16 ? int64_t(0xFFFFFFFF) : int64_t(0x80000000)))
            return false;
    }
    if (base == 16 && v > 0x7FFFFFFF)
        v -= int64_t(1) << 32;
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    value = static_cast<int32_t>(v);
    return true;
}

TMIniFile::TSection& TMIniFile::AddSection(const QString& name)
{
    const QString folded = name.toCaseFolded();
    if (const auto it = SectionIndex.constFind(folded); it != SectionIndex.cend())
        return Sections[*it];
    SectionIndex.insert(folded, Sections.size());
    Sections.push_back({name, {}, {}});
    return Sections.back();
}

void TMIniFile::AddKey(TSection& s, const QString& key, const QString& value)
{
    const QString folded = key.toCaseFolded();
    if (s.KeyIndex.contains(folded))
        return;
    s.KeyIndex.insert(folded, s.Keys.size());
    s.Keys.push_back({key, value});
}

void TMIniFile::SetText(const QString& text)
{
    Sections.clear();
    SectionIndex.clear();
    // Kept as an index: adding a section may move the others.
    qsizetype current = -1;
    // Keys before the first section header belong to a section with an empty
    // name, reachable only as such.
    static const QRegularExpression LineEnd(QStringLiteral("\r\n|\n|\r"));
    const QStringList lines = text.split(LineEnd);
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            TSection& s = AddSection(line.mid(1, line.size() - 2).trimmed());
            current = &s - Sections.data();
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        if (current < 0)
            current = &AddSection(QString()) - Sections.data();
        // The first occurrence of a key wins, as a reader scanning the file
        // from the top would find it.
        AddKey(Sections[size_t(current)], line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
}

QString TMIniFile::Text() const
{
    QString out;
    for (const TSection& s : Sections) {
        if (!out.isEmpty())
            out += QStringLiteral("\r\n");
        if (!s.Name.isEmpty() || &s != &Sections.front())
            out += QLatin1Char('[') + s.Name + QStringLiteral("]\r\n");
        for (const TKey& k : s.Keys)
            out += k.Name + QLatin1Char('=') + k.Value + QStringLiteral("\r\n");
    }
    return out;
}

const TMIniFile::TSection* TMIniFile::FindSection(const QString& section) const
{
    const auto it = SectionIndex.constFind(section.toCaseFolded());
    return it == SectionIndex.cend() ? nullptr : &Sections[*it];
}

const TMIniFile::TKey* TMIniFile::FindKey(const QString& section, const QString& key) const
{
    const TSection* s = FindSection(section);
    if (!s)
        return nullptr;
    const auto it = s->KeyIndex.constFind(key.toCaseFolded());
    return it == s->KeyIndex.cend() ? nullptr : &s->Keys[*it];
}

QString TMIniFile::ReadString(const QString& section, const QString& key, const QString& def) const
{
    const TKey* k = FindKey(section, key);
    return k ? k->Value : def;
}

int32_t TMIniFile::ReadInteger(const QString& section, const QString& key, int32_t def) const
{
    const TKey* k = FindKey(section, key);
    int32_t v = 0;
    return k && ParseInteger(k->Value, v) ? v : def;
}

bool TMIniFile::SectionExists(const QString& section) const { return FindSection(section) != nullptr; }

bool TMIniFile::ValueExists(const QString& section, const QString& key) const
{
    return FindKey(section, key) != nullptr;
}

void TMIniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    Modified = true;
    TSection& s = AddSection(section);
    if (const auto it = s.KeyIndex.constFind(key.toCaseFolded()); it != s.KeyIndex.cend())
        s.Keys[*it].Value = value;
    else
        AddKey(s, key, value);
}

void TMIniFile::WriteInteger(const QString& section, const QString& key, int32_t value)
{
    WriteString(section, key, QString::number(value));
}

bool TMIniFile::UpdateFile()
{
    const QString text = Text();
    QByteArray bytes;
    bytes = Legacy ? ToCp1250(text) : text.toUtf8();
    // The file holds the mail password: the safe path keeps its owner, group
    // and permissions and never writes through a link.
    if (!ReplaceFile(FileName, bytes).isEmpty())
        return false;
    Modified = false;
    return true;
}

namespace {
std::unique_ptr<TMIniFile>& Instance()
{
    static std::unique_ptr<TMIniFile> instance;
    return instance;
}
} // namespace

TMIniFile& IniFile()
{
    if (!Instance())
        Instance() = std::make_unique<TMIniFile>();
    return *Instance();
}

TMIniFile& OpenIniFile(const QString& fileName)
{
    Instance() = std::make_unique<TMIniFile>(fileName);
    return *Instance();
}

void CloseIniFile() { Instance().reset(); }
