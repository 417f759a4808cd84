#include "app/tarvel_app.h"

#include "app/tarvel_dlg.h"
#include "desktop/fonts.h"
#include "desktop/instance_requests.h"
#include "desktop/message_box.h"
#include "desktop/shell.h"
#include "dialog_templates.h"
#include "platform/single_instance.h"
#include "platform/unique_fd.h"
#include "resource.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <memory>
#include <optional>

#include <sys/socket.h>

namespace {

// The socket library is part of the system here; it counts as started when a socket can be made.
bool SystemSocketsAvailable() {
    return UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)).Valid();
}

} // namespace

bool InstallToolkitTranslations() {
    auto translations = std::make_unique<QTranslator>();
    if (!translations->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                            QStringLiteral("_"),
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    // The application owns it from here, and it speaks for as long as the application lives.
    QTranslator* installed = translations.release();
    installed->setParent(qApp);
    return QCoreApplication::installTranslator(installed);
}

CTarvelApp theApp;

CTarvelApp::CTarvelApp(std::function<bool()> startSockets)
    : m_startSockets(startSockets ? std::move(startSockets) : SystemSocketsAvailable) {}

int CTarvelApp::Run(int argc, char** argv) {
    InitInstance(argc, argv);
    return RequestedExitCode();
}

bool CTarvelApp::InitInstance(int argc, char** argv) {
    // One instance per application name. A second one asks the first to show its window and ends
    // silently before any window of its own, whether or not anybody answered.
    const SingleInstanceLock instanceLock(ApplicationNameFromPath(argc > 0 ? argv[0] : "tarvel"));
    if (!instanceLock.Warning().empty())
        std::fprintf(stderr, "%s\n", instanceLock.Warning().c_str());
    const QString requestPath = QString::fromStdString(instanceLock.RequestPath().string());
    if (!instanceLock.IsFirstInstance()) {
        std::optional<QCoreApplication> core; // the socket needs one, no display
        if (!qApp)
            core.emplace(argc, argv);
        AskRunningInstanceToShow(requestPath);
        return false;
    }

    // The toolkit (tests bring their own application object).
    std::optional<QApplication> application;
    if (!qApp)
        application.emplace(argc, argv);
    InstallToolkitTranslations();
    InstallDialogLook();

    // The socket library.
    if (!m_startSockets()) {
        ShowMessage(QString::fromUtf8(LoadStringResource(IDP_SOCKETS_INIT_FAILED)),
                    QCoreApplication::applicationName(), MessageIcon::Exclamation);
        return false;
    }

    // The main dialog, run modally; it is destroyed on the way out. Later starts reach it through
    // the socket beside the lock.
    CTarvelDlg dialog;
    dialog.Create();
    std::optional<InstanceRequests> requests;
    if (!requestPath.isEmpty())
        requests.emplace(requestPath, [&dialog] { dialog.BringToFront(); });
    dialog.exec();
    if (dialog.isVisible())
        dialog.done(QDialog::Rejected); // a quit request ended the loop
    return false;
}
