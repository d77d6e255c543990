#pragma once

#include <QDialog>

#include "commsources.h"

struct CommSettings;
class QLineEdit;

namespace Ui {
class CCommDialog;
}

// The operator's link settings: serial port only, UDP server (serial port
// plus a re-broadcast) or UDP client. Edits the main window's record in
// place on OK; Cancel leaves it alone. Built anew for every opening.
class CCommDialog : public QDialog
{
    Q_OBJECT

public:
    // Lists this machine's serial ports and interface addresses at once,
    // and the host name's addresses when its look-up answers.
    CCommDialog(QWidget *parent, CommSettings *comm);
    // Lists the given ports and addresses instead (tests, other front ends),
    // and what lookup finds later, if given.
    CCommDialog(QWidget *parent, CommSettings *comm, const CommSources &sources,
                const AddressLookup &lookup = AddressLookup());
    ~CCommDialog() override;

    // Closing abandons a look-up still under way.
    void done(int result) override;

private slots:
    void saveSettings();
    void on_radioButton_server_toggled(bool checked);
    void on_checkBox_useudp_toggled(bool checked);
    void on_pushButton_ok_clicked();
    void on_pushButton_cancel_clicked();

private:
    QString portEntryText(const SerialPortEntry &port) const;
    void addAddresses(const QStringList &addresses);

    Ui::CCommDialog *ui;
    QList<SerialPortEntry> ports;  // in the order the port box lists them
    CommSettings *comm;            // not owned; may be null
    QObject *lookup = nullptr;     // the address look-up under way, a child
};
