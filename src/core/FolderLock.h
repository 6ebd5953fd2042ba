#pragma once
// One process owns a site folder at a time: the window, `qdrtool fetch` or the
// site service. Two writers in one folder each save their own copy of a month
// over the other's, so the second one to start is told who holds the folder
// and keeps its hands off the files.
//
// The lock is an flock on a small file in the folder, so it ends with the
// process however that ends; the file says who holds it for the message of
// the one refused. It is never removed: a process that removed it could leave
// two holders of two different files of one name.
#include <QString>

class TFolderLock {
public:
    enum TResult : uint8_t {
        Taken,  // this process owns the folder
        Held,   // another process does; Holder says which
        Failed, // the lock file cannot be used; Error says why
    };
    static constexpr const char* FileName = ".qdrwin.lock";

    TFolderLock() = default;
    ~TFolderLock();
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;

    // folder empty: the current directory. who: how another process refused
    // the folder names this one ("qdrtool run"); the process number is added.
    TResult Take(const QString& folder, const QString& who);
    void Release();
    bool Holds() const { return Fd >= 0; }

    // After Held: the holder as its lock file describes it, e.g.
    // "qdrtool run (PID 4242)", or "another program" when it says nothing.
    QString Holder;
    // After Failed: why, naming the lock file.
    QString Error;
    // The lock file's path after Take.
    QString Path;

private:
    int Fd = -1;
};
