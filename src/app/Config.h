#pragma once
// The configuration file: a hand-edited INI file read once into memory and
// answered from there. The client never writes it; a write only marks the
// object Modified, and only a modified object is ever saved.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

class TMIniFile {
public:
    // Name used when none is given. Every tool of the project reads the same
    // file, whatever the executable is called.
    static constexpr const char* DefaultName = "qdrwin.ini";
    // A configuration is a few kilobytes; far more is no configuration.
    static constexpr qint64 SizeLimit = 16 * 1024 * 1024;

    // fileName empty: the default name. A bare name is looked up in the current
    // directory first, then in programDir (empty: the directory of the running
    // program). A missing file is an empty configuration.
    explicit TMIniFile(const QString& fileName = QString(), const QString& programDir = QString());
    // The configuration in bytes already read from fullName (a reload that
    // read the file twice takes what both reads saw, not a third read).
    enum class TGiven : uint8_t { Bytes };
    TMIniFile(TGiven, const QString& fullName, const QByteArray& bytes);
    virtual ~TMIniFile();
    TMIniFile(const TMIniFile&) = delete;
    TMIniFile& operator=(const TMIniFile&) = delete;

    // Full path of the file read (or that would have been read).
    QString FileName;
    // The file existed and could be read.
    bool Loaded = false;
    // Why a file of that name exists but could not be read (not a regular
    // file, no permission); empty when it was read or does not exist.
    QString Problem;
    bool Modified = false;
    // The file was read as Windows-1250 because its bytes were not UTF-8;
    // a save keeps that encoding.
    bool Legacy = false;

    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // Missing key or text that is not an integer gives def. Decimal with an
    // optional sign, hexadecimal as "0x.." or "$..".
    int32_t ReadInteger(const QString& section, const QString& key, int32_t def) const;
    bool SectionExists(const QString& section) const;
    bool ValueExists(const QString& section, const QString& key) const;

    virtual void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int32_t value);
    // Writes the whole configuration back, in the encoding it was read in.
    bool UpdateFile();

    // Replaces the contents with the given text, as if read from a file.
    void SetText(const QString& text);
    QString Text() const;

    // Where a name is looked up: see the constructor.
    static QString ResolveFileName(const QString& fileName, const QString& currentDir, const QString& programDir);
    // UTF-8 when the bytes are valid UTF-8 (a BOM is dropped), Windows-1250
    // otherwise; legacy tells which.
    static QString DecodeText(const QByteArray& bytes, bool* legacy = nullptr);
    static bool ParseInteger(const QString& text, int32_t& value);

private:
    struct TKey {
        QString Name;
        QString Value;
    };
    // Names are looked up case-folded through the indexes, so reading a
    // file and every lookup take time in proportion to its size.
    struct TSection {
        QString Name;
        std::vector<TKey> Keys;
        QHash<QString, size_t> KeyIndex;
    };
    std::vector<TSection> Sections;
    QHash<QString, size_t> SectionIndex;

    TSection& AddSection(const QString& name);
    static void AddKey(TSection& s, const QString& key, const QString& value);
    const TSection* FindSection(const QString& section) const;
    const TKey* FindKey(const QString& section, const QString& key) const;
};

// The process-wide configuration. The first call without OpenIniFile creates it
// from the default name.
TMIniFile& IniFile();
// Replaces the process-wide configuration with the given file (tools take
// --config FILE); an empty name means the default.
TMIniFile& OpenIniFile(const QString& fileName = QString());
// Frees the process-wide configuration (saving it only when modified).
void CloseIniFile();
