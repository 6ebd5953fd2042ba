#pragma once
// The chooser for the archive page: a drive list, a directory tree and the
// files of the chosen directory that match the mask. Moving to another drive
// or directory makes it the process's current directory, where the archive's
// relative monthly file names are then read and written.
#include <QDialog>
#include <QElapsedTimer>
#include <QString>

#include <functional>

class QTimer;

class QComboBox;
class QFileSystemModel;
class QListWidget;
class QPushButton;
class QTreeView;

class TFilesMem;

class TFormOpenFile : public QDialog {
    Q_OBJECT
public:
    explicit TFormOpenFile(QWidget* parent = nullptr);

    // Shows the chooser modally for files matching mask ("*.qdr"); name is the
    // chosen file's full name, or empty. Returns the dialog's result.
    int Execute(const QString& mask, const QString& caption, QString& name);

    // The drives offered: the file system root, the home folder and the
    // mounted volumes that hold removable media or homes.
    static QStringList Drives();

    // The chooser kept for every later use.
    static TFormOpenFile* Instance();
    // Lets a test answer instead of the user: with a responder set, Execute
    // shows nothing and returns what the responder says (it may fill name).
    using TResponder = std::function<bool(const QString& mask, QString& name)>;
    static void SetResponder(TResponder responder);

    // The directory shown in the file list.
    QString Directory() const { return FDirectory; }
    void SetDirectory(const QString& path);

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Expands the tree down to the current directory and scrolls it into the
    // middle of the view; again whenever the model has read another level.
    void ShowDirectory();
    void DriveChanged(int index);
    void DirectoryChanged();
    void FileListBoxArChange();
    void FillFiles();

    QComboBox* DriveComboBoxAr = nullptr;
    QTreeView* DirectoryListBoxAr = nullptr;
    QListWidget* FileListBoxAr = nullptr;
    QPushButton* BitBtnArCancel = nullptr;
    QPushButton* BitBtnArOK = nullptr;
    QFileSystemModel* DirModel = nullptr;
    QString FMask;
    QString FDirectory;
    // The tree follows the current directory for a moment after it was set
    // or shown, while the model still inserts and sorts the levels above it.
    QElapsedTimer Following;
    QTimer* FollowTimer = nullptr;
};

// The chooser for a file set's files ("*." + its extension); empty when the
// user cancels.
QString Choose(const TFilesMem& files, QWidget* parent = nullptr);
