// The executable exports the key wrapper's two functions in its dynamic symbol table.
#include <QProcess>
#include <QtTest>

class TestExports : public QObject {
    Q_OBJECT
private slots:
    void wrapperFunctionsAreDynamicSymbols_data();
    void wrapperFunctionsAreDynamicSymbols();
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
    QProcess nm;
    nm.start(QStringLiteral(NM_PATH), {"-D", "-C", "--defined-only", TOOL_PATH});
    QVERIFY2(nm.waitForFinished(30000), qPrintable(nm.errorString()));
    QCOMPARE(nm.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(nm.readAllStandardOutput()).split('\n');
    bool found = false;
    for (const QString& line : lines) {
        // "<address> T <name>": defined in the text section and visible to the dynamic linker
        const QStringList fields = line.split(' ');
        if (fields.size() >= 3 && fields[1] == "T" && line.endsWith(" " + signature))
            found = true;
    }
    QVERIFY2(found, qPrintable(signature + " missing from the dynamic symbol table"));
}

QTEST_MAIN(TestExports)
#include "tst_exports.moc"
