// Uses of Qt APIs newer and older than the oldest Qt the tool builds against: the table that
// scripts/check-qt-floor --self-test checks. The line after an "expect:" comment must be reported
// with exactly the names it lists; every other line must not be. Parsed, never built.
#include <QButtonGroup>
#include <QDebug>
#include <QHash>
#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTextStream>

void newerThanTheFloor(QButtonGroup* group, QList<int>& list, QTextStream& out, const QString& s)
{
    // expect: QButtonGroup::idClicked
    QObject::connect(group, &QButtonGroup::idClicked, group, &QObject::deleteLater);
    // expect: QList::swapItemsAt
    list.swapItemsAt(0, 1);
    // expect: Qt::endl
    QTextStream& (*newline)(QTextStream&) = Qt::endl;
    // expect: QString::split Qt::SkipEmptyParts
    s.split(QLatin1Char(','), Qt::SkipEmptyParts);
    // expect: Qt::endl
    out << s << Qt::endl;
    // expect: Qt::endl
    qDebug() << s << Qt::endl;
    // expect: Qt::SplitBehavior Qt::KeepEmptyParts
    const Qt::SplitBehavior keep = Qt::KeepEmptyParts;
    // expect: Qt::SkipEmptyParts
    Q_UNUSED(Qt::SkipEmptyParts)
    // expect: QString::operator+=
    QString(s) += QStringView(s);
    // expect: QStringList::join
    QStringList().join(QStringView(s));
    static_cast<void>(newline);
    static_cast<void>(keep);
}

void asOldAsTheFloor(QList<int>& list, QTextStream& out, QString& s, QHash<QString, int>& hash)
{
    const quint32 number = QRandomGenerator::global()->generate();
    QRandomGenerator generator(7);
    s.split(QLatin1Char(','));
    s.split(QLatin1Char(','), QString::SkipEmptyParts);
    s += QLatin1String("x");
    s += QChar('x');
    QStringList().join(QLatin1Char(','));
    hash.insert(s, 1);
    list.swap(0, 1);
    out << s << endl;
    out << QStringLiteral("x");
    static_cast<void>(number);
    static_cast<void>(generator);
}
