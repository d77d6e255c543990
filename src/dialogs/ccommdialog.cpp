#include "ccommdialog.h"
#include "ui_ccommdialog.h"

#include "commsettings.h"
#include "dialoglogging.h"
#include "portnumber.h"

#include <QComboBox>
#include <QHostAddress>
#include <QIntValidator>
#include <QMessageBox>

namespace {

// Longer address texts (most IPv6 forms) do not fit the NIC box.
constexpr int kLongestAddressText = 15;

// Ports 1 to 65535, as the link takes them (0 would make a client listen on
// a random port). The link reads a port as plain decimal digits, so the field must not take
// digit grouping ("8,000" or "8.000") or another locale's digits.
QIntValidator *makePortValidator(QObject *owner)
{
    auto *validator = new QIntValidator(kLowestPort, kHighestPort, owner);
    QLocale plain = QLocale::c();
    plain.setNumberOptions(QLocale::RejectGroupSeparator | QLocale::OmitGroupSeparator);
    validator->setLocale(plain);
    return validator;
}

// A port the link can bind to. The validator lets "65536" to "99999" stand
// while typing (they might still become valid), and a stored record may hold
// anything, so the text itself is checked again.
bool isUsablePort(const QLineEdit *edit)
{
    return edit->hasAcceptableInput();
}

} // namespace

CCommDialog::CCommDialog(QWidget *parent, CommSettings *comm)
    : CCommDialog(parent, comm, CommSources::fromSystem(), lookUpHostNameAddresses)
{
}

CCommDialog::CCommDialog(QWidget *parent, CommSettings *comm, const CommSources &sources,
                         const AddressLookup &addressLookup)
    : QDialog(parent)
    , ui(new Ui::CCommDialog)
    , comm(comm)
{
    ui->setupUi(this);

    ui->lineEdit_server_port->setValidator(makePortValidator(this));
    ui->lineEdit_client_port->setValidator(makePortValidator(this));

    ports = sources.ports;
    for (const SerialPortEntry &port : qAsConst(ports))
        ui->comboBox_serial->addItem(portEntryText(port));
    // A port can be typed too: a /dev/serial/by-id/... path keeps naming the
    // same adapter when USB adapters are re-plugged in another order, where
    // ttyUSB0 and ttyUSB1 may swap. What is typed is stored exactly.
    ui->comboBox_serial->setEditable(true);
    ui->comboBox_serial->setInsertPolicy(QComboBox::NoInsert);
    ui->comboBox_serial->setCompleter(nullptr);

    addAddresses(sources.addresses + sources.interfaceAddresses);

    // What lights the ON AIR lamp; each item holds its tally_source value.
    const struct { const char *text; const char *value; } tallySources[] = {
        {QT_TR_NOOP("No lamp"), ""},
        {QT_TR_NOOP("Control commands"), "control"},
        {QT_TR_NOOP("Serial CTS line"), "cts"},
        {QT_TR_NOOP("Serial CTS line, inverted"), "!cts"},
        {QT_TR_NOOP("Serial DSR line"), "dsr"},
        {QT_TR_NOOP("Serial DSR line, inverted"), "!dsr"},
        {QT_TR_NOOP("Serial DCD line"), "dcd"},
        {QT_TR_NOOP("Serial DCD line, inverted"), "!dcd"},
        {QT_TR_NOOP("Serial RI line"), "ri"},
        {QT_TR_NOOP("Serial RI line, inverted"), "!ri"},
    };
    for (const auto &source : tallySources)
        ui->comboBox_tally->addItem(tr(source.text), QString::fromLatin1(source.value));

    if (comm) {
        ui->lineEdit_server_port->setText(comm->server_port);
        ui->lineEdit_client_host->setText(comm->client_host);
        ui->lineEdit_client_port->setText(comm->client_port);

        if (comm->is_server)
            ui->radioButton_server->setChecked(true);
        else
            ui->radioButton_client->setChecked(true);

        // What is stored is always offered and chosen, even when the PC has
        // no such address or port right now (an adapter unplugged, a cable
        // out), so OK never replaces it silently.
        int nic = ui->comboBox_nic->findText(comm->server_host, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (nic < 0 && !comm->server_host.isEmpty()) {
            ui->comboBox_nic->addItem(comm->server_host);
            nic = ui->comboBox_nic->count() - 1;
        }
        if (nic >= 0)
            ui->comboBox_nic->setCurrentIndex(nic);

        int serial = -1;
        for (int i = 0; i < ports.size(); ++i) {
            if (ports.at(i).portName == comm->serialport)
                serial = i;
        }
        if (serial < 0 && !comm->serialport.isEmpty()) {
            ui->comboBox_serial->addItem(comm->serialport);
            serial = ui->comboBox_serial->count() - 1;
        }
        // Nothing stored, nothing chosen: a casual OK must not store
        // whichever port happens to be listed first.
        ui->comboBox_serial->setCurrentIndex(serial);

        ui->checkBox_useudp->setChecked(comm->use_udp);

        // A stored value the list does not know is offered as it is, so
        // OK keeps it.
        const QString tally = comm->tally_source.trimmed().toLower();
        int chosen = ui->comboBox_tally->findData(tally);
        if (chosen < 0) {
            ui->comboBox_tally->addItem(comm->tally_source, comm->tally_source);
            chosen = ui->comboBox_tally->count() - 1;
        }
        ui->comboBox_tally->setCurrentIndex(chosen);
    }

    // Nothing stored: the first card that reaches other rooms, not loopback
    // (on a stock Debian PC the host name gives only 127.0.1.1).
    if (!comm || comm->server_host.isEmpty()) {
        for (const QString &address : sources.interfaceAddresses) {
            const int nic = ui->comboBox_nic->findText(address, Qt::MatchExactly | Qt::MatchCaseSensitive);
            if (nic >= 0 && !QHostAddress(address).isLoopback()) {
                ui->comboBox_nic->setCurrentIndex(nic);
                break;
            }
        }
    }

    // Added to the end when it answers, so what is chosen stays chosen.
    if (addressLookup) {
        lookup = addressLookup([this](const QStringList &addresses) { addAddresses(addresses); });
        if (lookup)
            lookup->setParent(this);
    }

    // The pre-fill toggled buttons one by one; settle every widget's state.
    on_checkBox_useudp_toggled(ui->checkBox_useudp->isChecked());
}

CCommDialog::~CCommDialog()
{
    delete ui;
}

void CCommDialog::done(int result)
{
    delete lookup;
    lookup = nullptr;
    QDialog::done(result);
}

void CCommDialog::addAddresses(const QStringList &addresses)
{
    for (const QString &address : addresses) {
        if (address.size() <= kLongestAddressText
            && ui->comboBox_nic->findText(address, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
            ui->comboBox_nic->addItem(address);
    }
}

QString CCommDialog::portEntryText(const SerialPortEntry &port) const
{
    return tr("%1 (%2)").arg(port.description, port.portName);
}

void CCommDialog::saveSettings()
{
    if (!comm)
        return;
    qCDebug(lcDialog) << "comm is not null ";

    // The lamp is lit in every mode (a client by commands); what was
    // stored stays as it was written when the choice did not change.
    const QString tally = ui->comboBox_tally->currentData().toString();
    if (tally != comm->tally_source.trimmed().toLower())
        comm->tally_source = tally;

    // Only the fields the chosen mode uses are taken; greyed-out ones keep
    // what was stored, so switching back later finds them as they were.
    comm->is_server = ui->radioButton_server->isChecked();
    comm->use_udp = ui->checkBox_useudp->isChecked();
    const bool serialInUse = !comm->use_udp || comm->is_server;
    if (comm->use_udp && comm->is_server) {
        comm->server_host = ui->comboBox_nic->currentText();
        comm->server_port = ui->lineEdit_server_port->text();
    }
    if (comm->use_udp && !comm->is_server) {
        comm->client_host = ui->lineEdit_client_host->text();
        comm->client_port = ui->lineEdit_client_port->text();
    }
    if (!serialInUse)
        return;

    // A listed port is stored by its system name; anything else is a name
    // or path as typed (or the stored one, offered as it was). With nothing
    // there at all the stored port stays, ready for when it is back.
    const QString shown = ui->comboBox_serial->currentText();
    QString port = shown.trimmed();
    for (const SerialPortEntry &listed : qAsConst(ports)) {
        if (portEntryText(listed) == shown) {
            port = listed.portName;
            break;
        }
    }
    if (!port.isEmpty())
        comm->serialport = port;
}

void CCommDialog::on_radioButton_server_toggled(bool checked)
{
    ui->comboBox_nic->setEnabled(checked);
    ui->lineEdit_server_port->setEnabled(checked);
    ui->label_serverhost->setEnabled(checked);
    ui->label_serverport->setEnabled(checked);

    ui->lineEdit_client_host->setEnabled(!checked);
    ui->lineEdit_client_port->setEnabled(!checked);
    ui->label_clienthost->setEnabled(!checked);
    ui->label_clientport->setEnabled(!checked);

    // A server still reads the console; a client has no serial port.
    ui->comboBox_serial->setEnabled(checked);
}

void CCommDialog::on_checkBox_useudp_toggled(bool checked)
{
    if (checked) {
        ui->radioButton_server->setEnabled(true);
        ui->radioButton_client->setEnabled(true);
        on_radioButton_server_toggled(ui->radioButton_server->isChecked());
        return;
    }

    ui->comboBox_nic->setEnabled(false);
    ui->lineEdit_server_port->setEnabled(false);
    ui->radioButton_server->setEnabled(false);
    ui->label_serverhost->setEnabled(false);
    ui->label_serverport->setEnabled(false);
    ui->lineEdit_client_host->setEnabled(false);
    ui->lineEdit_client_port->setEnabled(false);
    ui->radioButton_client->setEnabled(false);
    ui->label_clienthost->setEnabled(false);
    ui->label_clientport->setEnabled(false);
    ui->comboBox_serial->setEnabled(true);
}

void CCommDialog::on_pushButton_ok_clicked()
{
    qCDebug(lcDialog) << "OK CLICK.. ";

    // Serial only: nothing here is used, so nothing is checked.
    if (ui->checkBox_useudp->isChecked()) {
        if (ui->radioButton_server->isChecked() && !isUsablePort(ui->lineEdit_server_port)) {
            QMessageBox::warning(this, QStringLiteral("UDP Server error"),
                                 QStringLiteral("Please, specify valid port!"));
            return;
        }
        if (ui->radioButton_client->isChecked()
            && (ui->lineEdit_client_host->text().isEmpty()
                || !isUsablePort(ui->lineEdit_client_port))) {
            QMessageBox::warning(this, QStringLiteral("UDP Client error"),
                                 QStringLiteral("Please, specify valid host and/or port!"));
            return;
        }
    }

    saveSettings();
    accept();
}

void CCommDialog::on_pushButton_cancel_clicked()
{
    reject();
}
