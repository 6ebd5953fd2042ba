#include "files/widgets/FormOpenFile.h"

#include "core/widgets/Windows.h"
#include "files/FilesMem.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

namespace {
TFormOpenFile::TResponder& Responder()
{
    static TFormOpenFile::TResponder responder;
    return responder;
}
} // namespace

TFormOpenFile::TFormOpenFile(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("FormOpenFile"));
    // Twice the designed 225 x 170: a directory tree needs room with today's fonts.
    resize(450, 340);
    DriveComboBoxAr = new QComboBox(this);
    DriveComboBoxAr->setObjectName(QStringLiteral("DriveComboBoxAr"));
    DriveComboBoxAr->addItems(Drives());
    DirModel = new QFileSystemModel(this);
    DirModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    DirModel->setRootPath(QString());
    DirectoryListBoxAr = new QTreeView(this);
    DirectoryListBoxAr->setObjectName(QStringLiteral("DirectoryListBoxAr"));
    DirectoryListBoxAr->setModel(DirModel);
    for (int c = 1; c < DirModel->columnCount(); ++c)
        DirectoryListBoxAr->hideColumn(c);
    DirectoryListBoxAr->header()->hide();
    FileListBoxAr = new QListWidget(this);
    FileListBoxAr->setObjectName(QStringLiteral("FileListBoxAr"));
    BitBtnArCancel = new QPushButton(QStringLiteral("Zrušiť"), this);
    BitBtnArCancel->setObjectName(QStringLiteral("BitBtnArCancel"));
    BitBtnArOK = new QPushButton(QStringLiteral("Vybrať"), this);
    BitBtnArOK->setObjectName(QStringLiteral("BitBtnArOK"));
    BitBtnArOK->setDefault(true);
    BitBtnArOK->setEnabled(false);

    auto* left = new QVBoxLayout;
    left->addWidget(DriveComboBoxAr);
    left->addWidget(DirectoryListBoxAr, 1);
    auto* right = new QVBoxLayout;
    right->addWidget(FileListBoxAr, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(BitBtnArOK);
    buttons->addWidget(BitBtnArCancel);
    right->addLayout(buttons);
    auto* all = new QHBoxLayout(this);
    all->addLayout(left, 3);
    all->addLayout(right, 2);

    connect(DriveComboBoxAr, &QComboBox::activated, this, &TFormOpenFile::DriveChanged);
    connect(DirectoryListBoxAr->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { DirectoryChanged(); });
    connect(FileListBoxAr, &QListWidget::currentRowChanged, this, [this] { FileListBoxArChange(); });
    connect(FileListBoxAr, &QListWidget::itemDoubleClicked, this, [this] {
        if (BitBtnArOK->isEnabled())
            accept();
    });
    connect(BitBtnArOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BitBtnArCancel, &QPushButton::clicked, this, &QDialog::reject);
    // The model reads folders in the background and inserts and sorts the
    // siblings of the current directory's levels later, which pushes it out
    // of view: the tree is scrolled again once the model has settled.
    FollowTimer = new QTimer(this);
    FollowTimer->setSingleShot(true);
    FollowTimer->setInterval(0);
    connect(FollowTimer, &QTimer::timeout, this, [this] { ShowDirectory(); });
    const auto follow = [this] {
        if (Following.isValid() && Following.elapsed() < 3000)
            FollowTimer->start();
    };
    connect(DirModel, &QFileSystemModel::directoryLoaded, this, follow);
    connect(DirModel, &QAbstractItemModel::rowsInserted, this, follow);
    connect(DirModel, &QAbstractItemModel::layoutChanged, this, follow);
}

void TFormOpenFile::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Following.start();
    ShowDirectory();
}

void TFormOpenFile::ShowDirectory()
{
    const QModelIndex index = DirModel->index(FDirectory);
    if (!index.isValid())
        return;
    for (QModelIndex parent = index.parent(); parent.isValid(); parent = parent.parent())
        DirectoryListBoxAr->expand(parent);
    DirectoryListBoxAr->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

QStringList TFormOpenFile::Drives()
{
    QStringList drives{QDir::rootPath()};
    const QString home = QDir::homePath();
    if (!drives.contains(home))
        drives << home;
    static const QStringList removable = {QStringLiteral("/media/"), QStringLiteral("/run/media/"),
                                          QStringLiteral("/mnt/"), QStringLiteral("/home/")};
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        if (!volume.isValid() || !volume.isReady() || drives.contains(root))
            continue;
        for (const QString& prefix : removable)
            if (root.startsWith(prefix)) {
                drives << root;
                break;
            }
    }
    return drives;
}

TFormOpenFile* TFormOpenFile::Instance()
{
    static TFormOpenFile* chooser = nullptr;
    if (!chooser)
        chooser = new TFormOpenFile; // lives until the program ends
    return chooser;
}

void TFormOpenFile::SetResponder(TResponder responder) { Responder() = std::move(responder); }

int TFormOpenFile::Execute(const QString& mask, const QString& caption, QString& name)
{
    name.clear();
    FMask = mask;
    setWindowTitle(caption);
    if (Responder())
        return Responder()(mask, name) ? QDialog::Accepted : QDialog::Rejected;
    SetDirectory(QDir::currentPath());
    const int result = exec();
    if (result == QDialog::Accepted) {
        const QListWidgetItem* item = FileListBoxAr->currentItem();
        if (item)
            name = QDir(FDirectory).absoluteFilePath(item->text());
    }
    return result;
}

void TFormOpenFile::SetDirectory(const QString& path)
{
    const QString dir = QDir(path).absolutePath();
    if (!QFileInfo(dir).isDir())
        return;
    if (dir != FDirectory) {
        FDirectory = dir;
        QDir::setCurrent(dir);
    }
    // The drive that holds the directory: the longest offered prefix.
    int best = -1;
    int bestLength = -1;
    for (int i = 0; i < DriveComboBoxAr->count(); ++i) {
        const QString drive = DriveComboBoxAr->itemText(i);
        if ((dir == drive || dir.startsWith(drive.endsWith(QLatin1Char('/')) ? drive : drive + QLatin1Char('/'))) &&
            drive.size() > bestLength) {
            best = i;
            bestLength = int(drive.size());
        }
    }
    if (best >= 0 && DriveComboBoxAr->currentIndex() != best) {
        DriveComboBoxAr->setCurrentIndex(best);
        DirectoryListBoxAr->setRootIndex(DirModel->index(DriveComboBoxAr->itemText(best)));
    }
    const QModelIndex index = DirModel->index(dir);
    if (index.isValid() && DirectoryListBoxAr->currentIndex() != index)
        DirectoryListBoxAr->setCurrentIndex(index);
    Following.start();
    ShowDirectory();
    FillFiles();
}

void TFormOpenFile::DriveChanged(int index)
{
    const QString drive = DriveComboBoxAr->itemText(index);
    DirectoryListBoxAr->setRootIndex(DirModel->index(drive));
    SetDirectory(drive);
}

void TFormOpenFile::DirectoryChanged()
{
    const QString path = DirModel->filePath(DirectoryListBoxAr->currentIndex());
    if (!path.isEmpty() && path != FDirectory)
        SetDirectory(path);
}

void TFormOpenFile::FillFiles()
{
    FileListBoxAr->clear();
    // Name filters ignore letter case: monthly files are written in lower
    // case but may have been copied in capitals from another system.
    const QString mask = FMask.isEmpty() ? QStringLiteral("*") : FMask;
    FileListBoxAr->addItems(QDir(FDirectory).entryList({mask}, QDir::Files | QDir::Readable, QDir::Name | QDir::IgnoreCase));
    FileListBoxArChange();
}

void TFormOpenFile::FileListBoxArChange()
{
    const QListWidgetItem* item = FileListBoxAr->currentItem();
    BitBtnArOK->setEnabled(item && QFileInfo(QDir(FDirectory).absoluteFilePath(item->text())).isFile());
}

QString Choose(const TFilesMem& files, QWidget* parent)
{
    // The chooser outlives any one window, so it has no parent; it is
    // centred on the desktop, or on the window asking.
    TFormOpenFile* chooser = TFormOpenFile::Instance();
    // Sized before it is centred, so it is centred at the size it shows.
    chooser->resize(SizeShowingContent(*chooser));
    if (parent)
        chooser->move(parent->geometry().center() - chooser->rect().center());
    QString name;
    chooser->Execute(QStringLiteral("*.") + files.Extension().toLower(), QString(), name);
    return name;
}
