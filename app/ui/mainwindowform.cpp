#include "app/ui/mainwindowform.h"

#include "download/linerates.h"

#include <QCoreApplication>
#include <QIcon>
#include <QMetaMethod>
#include <QMetaObject>
#include <QPixmap>

#include <iterator>

namespace
{

QIcon iconFrom(const char *path)
{
    QIcon icon;
    icon.addFile(QString::fromLatin1(path), QSize(), QIcon::Normal, QIcon::Off);
    return icon;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

// Connects the window's on_<objectName>_<signal> slots by name.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
// Qt 6 has no QComboBox::currentIndexChanged(QString), the signal the
// window's list slots are named after. They are connected from the index
// signal instead, with the item's text (empty when nothing is current):
// exactly when, and with what, Qt 5 emitted the text signal. Connect-by-name
// then warns that it finds no signal for them; only those warnings are dropped.
class SlotsByName
{
public:
    static void connect(QMainWindow *window, const QList<QComboBox *> &lists)
    {
        for (QComboBox *list : lists)
            connectItemText(list, window);
        previous = qInstallMessageHandler(&SlotsByName::dropExpectedWarnings);
        QMetaObject::connectSlotsByName(window);
        qInstallMessageHandler(previous);
        expectedWarnings.clear();
    }

private:
    static void connectItemText(QComboBox *list, QMainWindow *window)
    {
        const QByteArray slot =
            "on_" + list->objectName().toLatin1() + "_currentIndexChanged(QString)";
        const int index = window->metaObject()->indexOfSlot(slot.constData());
        if (index < 0)
            return;
        const QMetaMethod method = window->metaObject()->method(index);
        QObject::connect(
            list, &QComboBox::currentIndexChanged, window, [list, window, method](int item) {
                method.invoke(window, Qt::DirectConnection, Q_ARG(QString, list->itemText(item)));
            });
        expectedWarnings << QStringLiteral(
                                "QMetaObject::connectSlotsByName: No matching signal for ") +
                                QString::fromLatin1(slot);
    }

    static void dropExpectedWarnings(QtMsgType type, const QMessageLogContext &context,
                                     const QString &text)
    {
        if (type != QtWarningMsg || !expectedWarnings.contains(text))
            previous(type, context, text);
    }

    static inline QtMessageHandler previous = nullptr;
    static inline QStringList expectedWarnings;
};
#else
struct SlotsByName {
    static void connect(QMainWindow *window, const QList<QComboBox *> &)
    {
        QMetaObject::connectSlotsByName(window);
    }
};
#endif

} // namespace

namespace Ui
{

void MainWindow::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(605, 261);
    window->setAcceptDrops(true);
    window->setWindowIcon(iconFrom(":/images/kavro.ico"));
    window->setStyleSheet(QString());

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));

    // Creation order is stacking order: later siblings are drawn on top.
    portNameComboBox = new QComboBox(centralWidget);
    portNameComboBox->setObjectName(QStringLiteral("portNameComboBox"));
    portNameComboBox->setGeometry(QRect(209, 110, 121, 22));
    portNameComboBox->setFocusPolicy(Qt::NoFocus);
    portNameComboBox->setAcceptDrops(false);
    portNameComboBox->setIconSize(QSize(32, 32));
    portNameComboBox->setFrame(true);

    baudRateComboBox = new QComboBox(centralWidget);
    baudRateComboBox->setObjectName(QStringLiteral("baudRateComboBox"));
    baudRateComboBox->setGeometry(QRect(379, 110, 171, 22));
    baudRateComboBox->setFocusPolicy(Qt::NoFocus);

    binFileNameBrowser = new QLineEdit(centralWidget);
    binFileNameBrowser->setObjectName(QStringLiteral("binFileNameBrowser"));
    binFileNameBrowser->setGeometry(QRect(230, 150, 101, 22));
    binFileNameBrowser->setMouseTracking(false);
    binFileNameBrowser->setAcceptDrops(false);
    binFileNameBrowser->setFrame(true);

    openBinFileBtn = new QPushButton(centralWidget);
    openBinFileBtn->setObjectName(QStringLiteral("openBinFileBtn"));
    openBinFileBtn->setGeometry(QRect(200, 150, 31, 23));
    openBinFileBtn->setIcon(iconFrom(":/images/open.png"));
    openBinFileBtn->setIconSize(QSize(32, 32));
    openBinFileBtn->setFlat(true);

    progressBar = new QProgressBar(centralWidget);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setGeometry(QRect(420, 150, 31, 15));
    progressBar->setMaximum(1000000);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    progressBar->setOrientation(Qt::Horizontal);
    progressBar->setTextDirection(QProgressBar::TopToBottom);

    downloadBtn = new QPushButton(centralWidget);
    downloadBtn->setObjectName(QStringLiteral("downloadBtn"));
    downloadBtn->setGeometry(QRect(530, 150, 31, 23));
    downloadBtn->setIcon(iconFrom(":/images/download.png"));
    downloadBtn->setIconSize(QSize(32, 32));
    downloadBtn->setFlat(true);

    minButton = new QPushButton(centralWidget);
    minButton->setObjectName(QStringLiteral("minButton"));
    minButton->setGeometry(QRect(490, 10, 30, 30));
    minButton->setFocusPolicy(Qt::NoFocus);
    minButton->setIcon(iconFrom(":/images/min.png"));
    minButton->setFlat(true);

    maxButton = new QPushButton(centralWidget);
    maxButton->setObjectName(QStringLiteral("maxButton"));
    maxButton->setGeometry(QRect(530, 10, 30, 30));
    maxButton->setIcon(iconFrom(":/images/max_mouseover.png"));
    maxButton->setFlat(true);

    closeButton = new QPushButton(centralWidget);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setGeometry(QRect(570, 10, 30, 30));
    closeButton->setFocusPolicy(Qt::NoFocus);
    closeButton->setIcon(iconFrom(":/images/close.png"));
    closeButton->setFlat(true);

    label = new QLabel(centralWidget);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(QRect(375, 150, 155, 30));
    label->setPixmap(QPixmap(QStringLiteral(":/images/loadBg.png")));
    label->setScaledContents(true);

    loadLable = new QLabel(centralWidget);
    loadLable->setObjectName(QStringLiteral("loadLable"));
    loadLable->setGeometry(QRect(385, 152, 0, 12));

    window->setCentralWidget(centralWidget);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->setEnabled(true);
    window->setStatusBar(statusBar);

    retranslateUi(window);

    // After the texts, so filling the baud list runs none of the slots.
    SlotsByName::connect(window, {portNameComboBox, baudRateComboBox});
}

void MainWindow::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(tr("MainWindow"));
    baudRateComboBox->clear();
    static_assert(std::size(LineRates::All) == 2 && LineRates::All[0] == 115200 &&
                      LineRates::All[1] == 256000,
                  "the baud list's items are the line rates, in their order");
    baudRateComboBox->insertItems(0, QStringList() << tr("115200") << tr("256000"));
    openBinFileBtn->setText(QString());
    downloadBtn->setText(QString());
    minButton->setText(QString());
    maxButton->setText(QString());
    closeButton->setText(QString());
    label->setText(QString());
    loadLable->setText(QString());
}

} // namespace Ui
