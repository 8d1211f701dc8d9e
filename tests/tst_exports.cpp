// The executable exports the key wrapper's two functions in its dynamic symbol table, no binary of
// ours searches a relative directory for libraries or names a library by a path, and the library
// host needs nothing but the C library, libdl and libseccomp.
#include "childprocess.h"

#include <QRegularExpression>
#include <QtTest>

class TestExports : public QObject {
    Q_OBJECT
private slots:
    void wrapperFunctionsAreDynamicSymbols_data();
    void wrapperFunctionsAreDynamicSymbols();
    void dynamicEntriesHaveNoRelativePath_data();
    void dynamicEntriesHaveNoRelativePath();
};

void TestExports::wrapperFunctionsAreDynamicSymbols_data()
{
    QTest::addColumn<QString>("signature");
    QTest::newRow("pinpadEnAndDec") << "pinpadEnAndDec(char*, int, char*, int, char*, int, int)";
    QTest::newRow("generateKey") << "generateKey[abi:cxx11](int)";
}

void TestExports::wrapperFunctionsAreDynamicSymbols()
{
    QFETCH(QString, signature);
    ChildProcess nm;
    QVERIFY2(nm.start(NM_PATH, {"-D", "-C", "--defined-only", TOOL_PATH}), qPrintable(nm.error()));
    QVERIFY2(nm.waitForFinished(30000), NM_PATH " did not finish within 30 s");
    QCOMPARE(nm.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(nm.output()).split('\n');
    bool found = false;
    for (const QString& line : lines) {
        // "<address> T <name>": defined in the text section and visible to the dynamic linker
        const QStringList fields = line.split(' ');
        if (fields.size() >= 3 && fields[1] == "T" && line.endsWith(" " + signature))
            found = true;
    }
    QVERIFY2(found, qPrintable(signature + " missing from the dynamic symbol table"));
}

void TestExports::dynamicEntriesHaveNoRelativePath_data()
{
    QTest::addColumn<QByteArray>("binary");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("allowed"); // a pattern every entry must match; empty: any
    const QList<QPair<const char*, QByteArray>> binaries{
        {"tool", QByteArray(TOOL_PATH)},
        {"key library", QByteArray(KEYLIB_PATH)},
        {"simulator", QByteArray(SIMULATOR_PATH)},
        {"device-check", QByteArray(DEVICE_CHECK_PATH)},
        {"device-check-host", QByteArray(DEVICE_CHECK_HOST_PATH)},
    };
    for (const auto& binary : binaries) {
        for (const QString tag : {"RUNPATH", "NEEDED"}) {
            QTest::addRow("%s %s", binary.first, qPrintable(tag))
                << binary.second << tag << QString();
        }
    }
    // The C library's own loader, which some architectures' programs name, and the sanitizers'
    // runtimes, in the builds that have them.
    QTest::newRow("device-check-host needs only libc, libdl and libseccomp")
        << QByteArray(DEVICE_CHECK_HOST_PATH) << "NEEDED"
        << R"(^(libc\.so\.6|libdl\.so\.2|ld-linux[-\w]*\.so\.\d+|libseccomp\.so\.2|lib(a|ub|t)san\.so\.\d+)$)";
}

// RUNPATH (or RPATH): an empty entry means the working directory to the loader, and a relative one
// a directory below it: either lets a library planted where the tool is started run in it.
// $ORIGIN, the binary's own directory, is absolute.
// NEEDED: a name with a '/' is opened as that path, relative to the working directory unless it
// starts with one, and not searched for at all; every entry must be a bare name.
void TestExports::dynamicEntriesHaveNoRelativePath()
{
    QFETCH(QByteArray, binary);
    QFETCH(QString, tag);
    QFETCH(QString, allowed);
    ChildProcess readelf;
    QVERIFY2(readelf.start(READELF_PATH, {"--dynamic", "--wide", QFile::decodeName(binary)}),
             qPrintable(readelf.error()));
    QVERIFY2(readelf.waitForFinished(30000), READELF_PATH " did not finish within 30 s");
    QCOMPARE(readelf.exitCode(), 0);
    const QString output = QString::fromUtf8(readelf.output());
    QVERIFY2(output.contains("Dynamic section at offset"),
             qPrintable("no dynamic section:\n" + output));

    // "... (RUNPATH)  Library runpath: [a:b]", "... (NEEDED)  Shared library: [libc.so.6]"
    const bool needed = tag == "NEEDED";
    const QRegularExpression entryLine(
        needed ? R"(\(NEEDED\)\s+Shared library: \[(.*)\]$)"
               : R"(\((?:RPATH|RUNPATH)\)\s+Library r(?:un)?path: \[(.*)\]$)",
        QRegularExpression::MultilineOption);
    const QRegularExpression absoluteEntry(R"(^(/|\$ORIGIN(/|$)|\$\{ORIGIN\}(/|$)))");
    QRegularExpressionMatchIterator lines = entryLine.globalMatch(output);
    int count = 0;
    while (lines.hasNext()) {
        const QString value = lines.next().captured(1);
        ++count;
        if (needed) {
            QVERIFY2(!value.contains('/'), qPrintable(QString("NEEDED entry \"%1\"").arg(value)));
            QVERIFY2(allowed.isEmpty() || QRegularExpression(allowed).match(value).hasMatch(),
                     qPrintable(QString("NEEDED entry \"%1\"").arg(value)));
            continue;
        }
        for (const QString& entry : value.split(':')) {
            QVERIFY2(absoluteEntry.match(entry).hasMatch(),
                     qPrintable(QString("entry \"%1\" in [%2]").arg(entry, value)));
        }
    }
    // Each binary links at least the C library, so a NEEDED line that no longer matches the
    // pattern fails here rather than passing unchecked.
    if (needed)
        QVERIFY2(count > 0, qPrintable("no NEEDED entry read:\n" + output));
}

QTEST_MAIN(TestExports)
#include "tst_exports.moc"
