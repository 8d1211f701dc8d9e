// The panel base and the two placeholder panels.
#include "capture.h"
#include "panels/basewidget.h"
#include "panels/comunicationwidget.h"
#include "panels/filemanagerwidget.h"

#include <QLibrary>
#include <QtTest>

class TestBaseWidget : public QObject {
    Q_OBJECT
private slots:
    void loadLibraryOnlyNamesItself_data();
    void loadLibraryOnlyNamesItself();
    void onMessageIsTheOnlySignal();
    void unresolvedSymbolLineHasOnePrefix_data();
    void unresolvedSymbolLineHasOnePrefix();
    void placeholdersAreEmpty();
};

void TestBaseWidget::loadLibraryOnlyNamesItself_data()
{
    QTest::addColumn<QString>("panel");
    QTest::newRow("base") << "BaseWidget";
    QTest::newRow("communication") << "ComunicationWidget";
    QTest::newRow("file management") << "FileManagerWidget";
}

void TestBaseWidget::loadLibraryOnlyNamesItself()
{
    QFETCH(QString, panel);
    QScopedPointer<BaseWidget> widget;
    if (panel == "BaseWidget")
        widget.reset(new BaseWidget());
    else if (panel == "ComunicationWidget")
        widget.reset(new ComunicationWidget());
    else
        widget.reset(new FileManagerWidget());
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), panel);

    QLibrary library(QString::fromUtf8(FAKE_DEVICE_PATH));
    DebugCapture debug;
    StdoutCapture out;
    widget->loadLibrary(nullptr);
    widget->loadLibrary(&library);
    const QString line = panel + QStringLiteral("::loadLibrary \n");
    QCOMPARE(debug.messages(), (QStringList{line, line}));
    QVERIFY(!library.isLoaded());
    QCOMPARE(out.text(), QByteArray());
}

void TestBaseWidget::onMessageIsTheOnlySignal()
{
    const QMetaObject& meta = BaseWidget::staticMetaObject;
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 1);
    const QMetaMethod method = meta.method(meta.methodOffset());
    QCOMPARE(method.methodType(), QMetaMethod::Signal);
    QCOMPARE(QByteArray(method.methodSignature()), QByteArray("onMessage(QString)"));
}

void TestBaseWidget::unresolvedSymbolLineHasOnePrefix_data()
{
    // QLibrary::errorString() after a failed resolve(): Qt 5.11 wraps the loader's reason in its
    // own copy of the prefix, Qt 5.15 says only "Unknown error".
    const QString prefix = QStringLiteral("Cannot resolve symbol \"SetPwWkey\" in /d/lib.so: ");
    const QString loader = QStringLiteral("/d/lib.so: undefined symbol: SetPwWkey");
    const QString qt511 = prefix + "(" + loader + ")";
    const QString qt515 = QStringLiteral("Unknown error");
    QTest::addColumn<QString>("loaderReason");
    QTest::addColumn<QString>("errorString");
    QTest::addColumn<QString>("line");
    QTest::newRow("Qt 5.11, loader's reason") << loader << qt511 << prefix + loader;
    QTest::newRow("Qt 5.15, loader's reason") << loader << qt515 << prefix + loader;
    QTest::newRow("Qt 5.11, loader silent") << QString() << qt511 << prefix + "(" + loader + ")";
    QTest::newRow("Qt 5.15, loader silent") << QString() << qt515 << prefix + qt515;
}

void TestBaseWidget::unresolvedSymbolLineHasOnePrefix()
{
    QFETCH(QString, loaderReason);
    QFETCH(QString, errorString);
    QFETCH(QString, line);
    QCOMPARE(BaseWidget::unresolvedSymbolLine(QStringLiteral("SetPwWkey"),
                                              QStringLiteral("/d/lib.so"), loaderReason,
                                              errorString),
             line);
}

void TestBaseWidget::placeholdersAreEmpty()
{
    ComunicationWidget communication;
    FileManagerWidget files;
    for (QWidget* widget : {static_cast<QWidget*>(&communication), static_cast<QWidget*>(&files)}) {
        QVERIFY(!widget->layout());
        QVERIFY(widget->children().isEmpty());
        const QMetaObject* meta = widget->metaObject();
        QCOMPARE(meta->methodCount(), meta->methodOffset());
    }
}

QTEST_MAIN(TestBaseWidget)
#include "tst_basewidget.moc"
