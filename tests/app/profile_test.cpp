// The settings file below the window: entries read and written as the
// Windows profile calls do, the file read only when it is a regular file,
// replaced whole and atomically, and the rule for where it lives.
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "../support/as_user.h"
#include "mdlIniFileIo.h"
#include "mdlPublicIniRW.h"
#include "settings_file.h"
#include "window_driver.h"

namespace {

std::string Std(const QString& s) { return s.toStdString(); }

// A temporary folder that the unprivileged user may enter and write.
std::unique_ptr<QTemporaryDir> OpenDir() {
    auto dir = std::make_unique<QTemporaryDir>();
    chmod(QFile::encodeName(dir->path()).constData(), 0777);
    return dir;
}

}  // namespace

class ProfileTest : public QObject {
    Q_OBJECT

private slots:
    void reads_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("names without case") << QByteArray("[set up]\ndata rate=3\n") << "SET UP" << "DATA RATE" << true
                                            << QByteArray("3");
        QTest::newRow("first section only") << QByteArray("[A]\nX=1\n[a]\nY=2\n") << "A" << "Y" << false << QByteArray();
        QTest::newRow("first section's value")
            << QByteArray("[A]\nX=1\n[A]\nX=2\n") << "A" << "X" << true << QByteArray("1");
        QTest::newRow("first key wins") << QByteArray("[A]\nX=1\nx=2\n") << "A" << "X" << true << QByteArray("1");
        QTest::newRow("blanks trimmed") << QByteArray("  [ A ]  \n \t X \t=  v w \t\n") << "A" << "X" << true
                                        << QByteArray("v w");
        QTest::newRow("double quotes") << QByteArray("[A]\nX= \" v \" \n") << "A" << "X" << true << QByteArray(" v ");
        QTest::newRow("single quotes") << QByteArray("[A]\nX='v'\n") << "A" << "X" << true << QByteArray("v");
        QTest::newRow("quotes that differ stay") << QByteArray("[A]\nX=\"v'\n") << "A" << "X" << true
                                                 << QByteArray("\"v'");
        QTest::newRow("one quote stays") << QByteArray("[A]\nX=\"\n") << "A" << "X" << true << QByteArray("\"");
        QTest::newRow("one pair only") << QByteArray("[A]\nX=\"\"v\"\"\n") << "A" << "X" << true
                                       << QByteArray("\"v\"");
        QTest::newRow("CR LF") << QByteArray("[A]\r\nX=1\r\nY=2\r\n") << "A" << "X" << true << QByteArray("1");
        QTest::newRow("UTF-8 byte-order mark") << QByteArray("\xEF\xBB\xBF[A]\nX=1\n") << "A" << "X" << true
                                               << QByteArray("1");
        QTest::newRow("line without = is no key") << QByteArray("[A]\nX\nX=2\n") << "A" << "X" << true
                                                  << QByteArray("2");
        QTest::newRow("entry before any section") << QByteArray("X=1\n[A]\n") << "A" << "X" << false << QByteArray();
        QTest::newRow("[ without ] is no section") << QByteArray("[A]\n[B\nX=1\n") << "A" << "X" << true
                                                   << QByteArray("1");
        QTest::newRow("= in the value") << QByteArray("[A]\nX=a=b\n") << "A" << "X" << true << QByteArray("a=b");
        QTest::newRow("text after ]") << QByteArray("[A] ; note\nX=1\n") << "A" << "X" << true << QByteArray("1");
        QTest::newRow("end-of-file mark trimmed") << QByteArray("[A]\nX=1\n\x1a") << "A" << "X" << true
                                                  << QByteArray("1");
        QTest::newRow("no final line end") << QByteArray("[A]\nX=7") << "A" << "X" << true << QByteArray("7");
    }

    void reads() {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(bool, found);
        QFETCH(QByteArray, value);
        ProfileText text;
        text.Parse(file.toStdString());
        std::string got;
        QCOMPARE(text.Find(Std(section), Std(key), got), found);
        if (found) QCOMPARE(QByteArray::fromStdString(got), value);
        QCOMPARE(QByteArray::fromStdString(text.Text()), file);  // parsing alone changes nothing
    }

    void writes_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("in place, every other line kept")
            << QByteArray("\xEF\xBB\xBF; note\r\n[Set Up]\r\nData Rate = 1 \r\nno equals\r\n\r\nX=\r\n[MINE]\r\nA=b\r\n")
            << "SET UP" << "DATA RATE" << "7"
            << QByteArray("\xEF\xBB\xBF; note\r\n[Set Up]\r\nData Rate=7\r\nno equals\r\n\r\nX=\r\n[MINE]\r\nA=b\r\n");
        QTest::newRow("first of duplicates")
            << QByteArray("[A]\nX=1\nX=2\n[a]\nX=3\n") << "A" << "X" << "9" << QByteArray("[A]\nX=9\nX=2\n[a]\nX=3\n");
        QTest::newRow("quoted value replaced") << QByteArray("[A]\nX=\"old\"\n") << "A" << "X" << "new"
                                               << QByteArray("[A]\nX=new\n");
        QTest::newRow("missing key after the section's last entry")
            << QByteArray("[A]\nX=1\n\n; about B\n[B]\nY=2\n") << "a" << "Z" << "3"
            << QByteArray("[A]\nX=1\nZ=3\n\n; about B\n[B]\nY=2\n");
        QTest::newRow("missing key into the first section of its name")
            << QByteArray("[A]\n[A]\nX=1\n") << "A" << "Y" << "2" << QByteArray("[A]\nY=2\n[A]\nX=1\n");
        QTest::newRow("missing section at the end") << QByteArray("[A]\nX=1") << "B" << "Y" << "2"
                                                    << QByteArray("[A]\nX=1\n[B]\nY=2\n");
        QTest::newRow("CR LF file keeps CR LF") << QByteArray("[A]\r\nX=1\r\n") << "B" << "Y" << "2"
                                                << QByteArray("[A]\r\nX=1\r\n[B]\r\nY=2\r\n");
        QTest::newRow("from scratch") << QByteArray() << "A" << "X" << "1" << QByteArray("[A]\nX=1\n");
        QTest::newRow("line breaks in a value") << QByteArray("[A]\nX=1\n") << "A" << "X" << "2\r\n[B]"
                                                << QByteArray("[A]\nX=2  [B]\n");
        QTest::newRow("empty value") << QByteArray("[A]\nX=1\n") << "A" << "X" << "" << QByteArray("[A]\nX=\n");
        QTest::newRow("empty value after blanks") << QByteArray("[A]\nX = 1 \n") << "A" << "X" << ""
                                                  << QByteArray("[A]\nX=\n");
        QTest::newRow("blanks around the value dropped") << QByteArray("[SET UP]\nPN SEED=  1A2B  \n") << "SET UP"
                                                         << "PN SEED" << "1A2B" << QByteArray("[SET UP]\nPN SEED=1A2B\n");
        QTest::newRow("key keeps the file's spelling") << QByteArray("[a]\n\t pn Seed \t= 1\r\n") << "A"
                                                       << "PN SEED" << "2" << QByteArray("[a]\npn Seed=2\r\n");
        QTest::newRow("value starting with blanks") << QByteArray("[A]\nX = 1\n") << "A" << "X" << "  2"
                                                    << QByteArray("[A]\nX=  2\n");
    }

    void writes() {
        QFETCH(QByteArray, before);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        ProfileText text;
        text.Parse(before.toStdString());
        text.Set(Std(section), Std(key), Std(value));
        QCOMPARE(QByteArray::fromStdString(text.Text()), after);
        QByteArray streamed;  // the pieces a save writes make the same text
        QVERIFY(text.WriteTo([&](std::string_view piece) {
            streamed.append(piece.data(), static_cast<qsizetype>(piece.size()));
            return true;
        }));
        QCOMPARE(streamed, after);
        text.Set(Std(section), Std(key), Std(value));  // writing it again changes nothing
        QCOMPARE(QByteArray::fromStdString(text.Text()), after);
        std::string got;
        QVERIFY(text.Find(Std(section), Std(key), got));
        QCOMPARE(QString::fromStdString(got), QString(value).replace(QLatin1Char('\r'), QLatin1Char(' '))
                                                  .replace(QLatin1Char('\n'), QLatin1Char(' ')).trimmed());
    }

    // A save of all 23 entries into a file written elsewhere rewrites only their lines (as KEY=value).
    void saveKeepsAForeignFile() {
        auto dir = OpenDir();
        const QString path = dir->filePath(QStringLiteral("PrmOrvane.ini"));
        WriteFile(path, "; mine\r\n[set up]\r\ndata rate = 2\r\nDATA RATE=6\r\n\r\n[OTHERS]\r\nSAMPLING RATE='1 Msps'\r\n");
        FieldValues v;
        LoadPrmIni(Std(path), v);
        QCOMPARE(v.list[kCmbRate], 2);
        QCOMPARE(v.samp_rate_caption, std::string("1 Msps"));
        DefaultFieldValues(v);
        v.samp_rate_caption = "160 Msps";
        QCOMPARE(SavePrmIni(Std(path), v), IniStatus::kOk);
        QCOMPARE(ReadAll(path),
                 QByteArray("; mine\r\n[set up]\r\ndata rate=5\r\nDATA RATE=6\r\nDATA=0\r\nFORMAT=0\r\n"
                            "OFDM LENGTH=100\r\nBURST=1\r\nBURST OFF TIME=160\r\nPN SEED=FFFF\r\n\r\n"
                            "[OTHERS]\r\nSAMPLING RATE=160 Msps\r\n"
                            "[TX FILTER]\r\nFILTER TYPE=0\r\nROLL OFF=0.25\r\nCUT OFF=0.0\r\nTR VALUE=0.0\r\n"
                            "FILTER LENGTH=191\r\nOVER SAMPL=4\r\nIQ INVERSE=0\r\n"
                            "[DETERIORATION FACTOR]\r\nNOISE TYPE=0\r\nFREQUENCY OFFSET=0\r\nFREQUENCY ERR=0.0\r\n"
                            "IF CONVERSION=0.0\r\nDC OFFSET REAL=0\r\nDC OFFSET IMAG=0\r\nNOISE FREQ=15.0\r\n"
                            "NOISE DB=-40.0\r\n"));
    }

    // A settings file too large for memory (here a sparse one of 8 TiB) reads
    // as unreadable instead of throwing out of the window's constructor.
    void fileTooLargeForMemory() {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the address sanitizer aborts on an allocation this large");
#else
        QTemporaryDir dir;
        const std::string path = Std(dir.filePath(QStringLiteral("PrmOrvane.ini")));
        WriteFile(QString::fromStdString(path), "[A]\nX=1\n");
        if (truncate(path.c_str(), off_t(1) << 43) != 0) QSKIP("the file system takes no sparse file this large");
        // In a child with its address space limited, so that the refusal does
        // not depend on the machine's overcommit setting.
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const rlimit limit{rlim_t(4) << 30, rlim_t(4) << 30};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
            std::string text = "old";
            const int result = ReadRegularFile(path, text);
            _exit(result == kReadUnreadable && text.empty() ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
#endif
    }

    // What cannot be read as a file reads as nothing, at once (a FIFO without a
    // writer would block an ordinary open for good).
    void pathsThatAreNoRegularFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("result");
        QTest::newRow("missing") << "missing" << int(kReadMissing);
        QTest::newRow("folder") << "folder" << int(kReadUnreadable);
        QTest::newRow("FIFO") << "fifo" << int(kReadUnreadable);
        QTest::newRow("device") << "device" << int(kReadUnreadable);
        QTest::newRow("link to a FIFO") << "link" << int(kReadUnreadable);
        QTest::newRow("regular") << "file" << int(kReadOk);
    }

    void pathsThatAreNoRegularFile() {
        QFETCH(QString, kind);
        QFETCH(int, result);
        QTemporaryDir dir;
        std::string path = Std(dir.filePath(QStringLiteral("PrmOrvane.ini")));
        const std::string fifo = Std(dir.filePath(QStringLiteral("fifo")));
        QCOMPARE(mkfifo(fifo.c_str(), 0666), 0);
        if (kind == QLatin1String("folder")) QVERIFY(QDir().mkdir(QString::fromStdString(path)));
        if (kind == QLatin1String("fifo")) path = fifo;
        if (kind == QLatin1String("device")) path = "/dev/null";
        if (kind == QLatin1String("link")) QCOMPARE(symlink(fifo.c_str(), path.c_str()), 0);
        if (kind == QLatin1String("file")) WriteFile(QString::fromStdString(path), "[A]\nX=1\n");
        std::string text = "old";
        QCOMPARE(ReadRegularFile(path, text), result);
        QCOMPARE(text.empty(), result != kReadOk);
        // Saving there never replaces what is not a regular file.
        int err = 0;
        const bool written = ReplaceFileAtomically(path, "[A]\nX=2\n", err);
        QCOMPARE(written, result != kReadUnreadable);
        if (!written) QVERIFY(err != 0);
    }

    void unreadableFileLoadsAsEmptyAndIsNotOverwritten() {
        auto dir = OpenDir();
        const QString path = dir->filePath(QStringLiteral("PrmOrvane.ini"));
        WriteFile(path, "[SET UP]\nDATA RATE=3\n");
        QCOMPARE(chmod(QFile::encodeName(path).constData(), 0200), 0);
        const int rc = as_user_in_child([&] {
            FieldValues v;
            DefaultFieldValues(v);
            LoadPrmIni(Std(path), v);
            // The all-zero state of an empty file, not the defaults.
            if (v.list[kCmbRate] != 0 || v.text[kTxtSeedPN] != "" || v.text[kTxtFiltAlpha] != "0.0") return 1;
            return SavePrmIni(Std(path), v) == IniStatus::kFailed ? 0 : 2;  // the save fails
        });
        if (rc == 99) QSKIP("cannot drop root privileges here");
        QCOMPARE(rc, 0);
        QCOMPARE(chmod(QFile::encodeName(path).constData(), 0600), 0);
        QCOMPARE(ReadAll(path), QByteArray("[SET UP]\nDATA RATE=3\n"));
    }

    void replaceFollowsLinksAndKeepsTheMode() {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("real.ini"));
        const QString link = dir.filePath(QStringLiteral("PrmOrvane.ini"));
        WriteFile(target, "old");
        QCOMPARE(chmod(QFile::encodeName(target).constData(), 0640), 0);
        QVERIFY(QFile::link(QStringLiteral("real.ini"), link));  // relative link
        struct stat before {};
        QCOMPARE(stat(QFile::encodeName(target).constData(), &before), 0);
        int err = 0;
        QVERIFY(ReplaceFileAtomically(Std(link), "new", err));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(ReadAll(target), QByteArray("new"));
        struct stat after {};
        QCOMPARE(stat(QFile::encodeName(target).constData(), &after), 0);
        QCOMPARE(after.st_mode & 07777, mode_t(0640));
        QVERIFY(after.st_ino != before.st_ino);  // a new file renamed over the old one
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
    }

    void newFileGetsTheUmaskMode() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("PrmOrvane.ini"));
        const mode_t old = umask(022);
        int err = 0;
        const bool ok = ReplaceFileAtomically(Std(path), "x", err);
        umask(old);
        QVERIFY(ok);
        struct stat st {};
        QCOMPARE(stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0644));
    }

    void failedReplaceLeavesTheFileAndNoTemporaryFile_data() {
        QTest::addColumn<QString>("fault");
        QTest::newRow("read-only file") << "file";
        QTest::newRow("read-only folder") << "folder";
        QTest::newRow("missing folder") << "missing";
    }

    void failedReplaceLeavesTheFileAndNoTemporaryFile() {
        QFETCH(QString, fault);
        auto dir = OpenDir();
        const QString sub = dir->filePath(QStringLiteral("sub"));
        QVERIFY(QDir().mkdir(sub));
        QString path = sub + QStringLiteral("/PrmOrvane.ini");
        WriteFile(path, "old");
        chmod(QFile::encodeName(sub).constData(), fault == QLatin1String("folder") ? 0555 : 0777);
        chmod(QFile::encodeName(path).constData(), fault == QLatin1String("file") ? 0444 : 0666);
        if (fault == QLatin1String("missing")) path = sub + QStringLiteral("/no/PrmOrvane.ini");
        const int rc = as_user_in_child([&] {
            int err = 0;
            return ReplaceFileAtomically(Std(path), "new", err) ? 1 : (err != 0 ? 0 : 2);
        });
        if (rc == 99) QSKIP("cannot drop root privileges here");
        QCOMPARE(rc, 0);
        QCOMPARE(ReadAll(sub + QStringLiteral("/PrmOrvane.ini")), QByteArray("old"));
        QCOMPARE(QDir(sub).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{"PrmOrvane.ini"});
    }

    // A reader at the moment of a save sees the old file or the new one, never a part.
    void readerNeverSeesHalfAFile() {
        QTemporaryDir dir;
        const std::string path = Std(dir.filePath(QStringLiteral("PrmOrvane.ini")));
        const std::string a(1 << 20, 'a');
        const std::string b(1 << 20, 'b');
        int err = 0;
        QVERIFY(ReplaceFileAtomically(path, a, err));
        std::fflush(nullptr);
        const pid_t reader = fork();
        if (reader == 0) {
            for (int i = 0; i < 300; ++i) {
                std::string text;
                if (ReadRegularFile(path, text) != kReadOk || (text != a && text != b)) _exit(1);
            }
            _exit(0);
        }
        for (int i = 0; i < 60; ++i) QVERIFY(ReplaceFileAtomically(path, i % 2 ? a : b, err));
        int status = 0;
        waitpid(reader, &status, 0);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void location_data() {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("user");      // user folder ("" none)
        QTest::addColumn<bool>("userFile");     // a file in the user folder
        QTest::addColumn<QString>("read");      // expected, "prog" or "user"
        QTest::addColumn<QString>("write");
        QTest::newRow("writable folder: beside the program") << true << "user" << true << "prog" << "prog";
        QTest::newRow("read-only folder, user file wins") << false << "user" << true << "user" << "user";
        QTest::newRow("read-only folder, no user file yet") << false << "user" << false << "prog" << "user";
        QTest::newRow("no user folder known") << false << "" << false << "prog" << "prog";
    }

    void location() {
        QFETCH(bool, writable);
        QFETCH(QString, user);
        QFETCH(bool, userFile);
        QFETCH(QString, read);
        QFETCH(QString, write);
        QTemporaryDir dir;
        const QString prog = dir.filePath(QStringLiteral("bin"));
        const QString userDir = user.isEmpty() ? QString() : dir.filePath(QStringLiteral("config/Orvane"));
        if (userFile) {
            QVERIFY(QDir().mkpath(userDir));
            WriteFile(userDir + QStringLiteral("/PrmOrvane.ini"), "");
        }
        const auto expand = [&](const QString& which) {
            return (which == QLatin1String("prog") ? prog : userDir) + QStringLiteral("/PrmOrvane.ini");
        };
        const SettingsLocation where = LocateSettings(Std(prog), writable, Std(userDir));
        QCOMPARE(QString::fromStdString(where.read_path), expand(read));
        QCOMPARE(QString::fromStdString(where.write_path), expand(write));
        QCOMPARE(where.beside_program, write == QLatin1String("prog"));
    }

    void userFolderFromTheEnvironment_data() {
        QTest::addColumn<QByteArray>("xdg");
        QTest::addColumn<QByteArray>("home");
        QTest::addColumn<QString>("folder");
        QTest::newRow("XDG_CONFIG_HOME") << QByteArray("/cfg") << QByteArray("/home/u") << "/cfg/Orvane";
        QTest::newRow("relative XDG_CONFIG_HOME ignored") << QByteArray("cfg") << QByteArray("/home/u")
                                                          << "/home/u/.config/Orvane";
        QTest::newRow("empty XDG_CONFIG_HOME") << QByteArray("") << QByteArray("/home/u") << "/home/u/.config/Orvane";
        QTest::newRow("neither") << QByteArray("") << QByteArray("") << "";
    }

    void userFolderFromTheEnvironment() {
        QFETCH(QByteArray, xdg);
        QFETCH(QByteArray, home);
        QFETCH(QString, folder);
        const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("XDG_CONFIG_HOME", xdg);
        qputenv("HOME", home);
        const QString got = QString::fromStdString(UserSettingsFolder());
        qputenv("XDG_CONFIG_HOME", oldXdg);
        qputenv("HOME", oldHome);
        QCOMPARE(got, folder);
    }

    void folderWritability() {
        auto dir = OpenDir();
        const QString ro = dir->filePath(QStringLiteral("ro"));
        QVERIFY(QDir().mkdir(ro));
        chmod(QFile::encodeName(ro).constData(), 0555);
        const int rc = as_user_in_child([&] {
            if (!FolderWritable(Std(dir->path()))) return 1;
            if (FolderWritable(Std(ro))) return 2;
            if (FolderWritable(Std(dir->filePath(QStringLiteral("none"))))) return 3;
            return 0;
        });
        if (rc == 99) QSKIP("cannot drop root privileges here");
        QCOMPARE(rc, 0);
    }
};

QTEST_MAIN(ProfileTest)
#include "profile_test.moc"
