// Every text that netbuf writes to the monitor log or shows in a message box,
// in one place, exactly as the operator sees it.
#pragma once

namespace netbuf::texts {

// Start-up (no category switch).
inline constexpr const char* kPortTcpOpen = "Port TCP nr: ";  // + port + kOpened
inline constexpr const char* kOpened = " otwarty.";
inline constexpr const char* kPortTcpFail = "nie można otwoży portu TCP nr:";  // + port
inline constexpr const char* kComFail = "nie można otwoży portu com";          // + number
inline constexpr const char* kServiceOpen = "Port uslug specjalnych nr: ";     // + port + kOpened
inline constexpr const char* kServiceFail = "nie można otwoży portu uslug specjalnych nr:";

// PC link (monitor_TCP).
inline constexpr const char* kPcToBuf = "PC->BUF:";
inline constexpr const char* kBufToPc = "BUF->PC:";
// Connections (monitor_tr).
inline constexpr const char* kConnect = "Connect ";
inline constexpr const char* kDisconnect = "Disconnect ";
inline constexpr const char* kTcpError = "Blad polonczenia TCP ";
inline constexpr const char* kNoConnection = "Non connection";  // client shown when none

// Reader bus (monitor_rs, monitor_zd).
inline constexpr const char* kBufToReader = "BUF->READER:";
inline constexpr const char* kPcBufReader = "PC->BUF->READER";
inline constexpr const char* kBuzzer = "Buzzer w czytnkiu o adresie:";
inline constexpr const char* kRelay = "Wyzwolenie przekażnika w czytnkiu o adresie:";
inline constexpr const char* kReaderToBuf = "READER->BUF:";
inline constexpr const char* kReaderToPc = "READER->PC:";
inline constexpr const char* kF03CrcError = "F03 CRC error!!!";
inline constexpr const char* kF10FromReader = "F10 z czytnika ";
inline constexpr const char* kF10CrcError = "F10 CRC error!!!";

// Card decisions (monitor_zd).
inline constexpr const char* kCardCount = "ilosc kart:";
inline constexpr const char* kCardCode = "kod karty:";
inline constexpr const char* kCardId = "id karty: ";
inline constexpr const char* kCardAtReader = "karta przy czytniku o adresie: ";
inline constexpr const char* kGrantedOwnRelay = "Karta ważna, przekaznik w tym czytniku: ";
inline constexpr const char* kGrantedOtherRelay = "Karta ważna, przekaznik w innym czytniku:";
inline constexpr const char* kUnknownCard = "Karta nieznana";
inline constexpr const char* kOutsideTimeZone = "Karta poza strefą czasową";
inline constexpr const char* kOutsideGeoZone = "Karta poza strefą geograficzną";

// Remote control (monitor_zd, monitor_TCP).
inline constexpr const char* kRemoteRelay = "Przekaznik otwarty zdalnie przez:";
inline constexpr const char* kRemoteRelayAt = " w czytniku o adresie:";
inline constexpr const char* kRemoteControl = "Remote control->:";

// Message boxes.
inline constexpr const char* kEventWriteFailed = "blad zapisu zdarzenia";
inline constexpr const char* kRegisterWriteFailed1 = "blad zapisu pod adres ";  // + a
inline constexpr const char* kRegisterWriteFailed2 = " wartosci";               // + val
inline constexpr const char* kRegisterWriteFailed3 = " w tabeli register";
inline constexpr const char* kCardWriteFailed = "blad zapisu rekordu karty pod adres ";  // + k
inline constexpr const char* kConfigWriteFailed = "blad zapisu konfiguracji";
inline constexpr const char* kPortTcpWriteFailed = "blad zapisu portu TCP";
inline constexpr const char* kServiceWriteFailed = "blad zapisu portu uslug specjalnych";
inline constexpr const char* kNCardWriteFailed = "blad zapisu portu parametru: N_CARD";
inline constexpr const char* kSCardWriteFailed = "blad zapisu portu parametru: S_CARD";

// Serial port open error: kDevice + "\"COMn\"" + kOpenError + "\r" + system text; the
// journal shows the system text alone.
inline constexpr const char* kDevice = "Device ";
inline constexpr const char* kOpenError = " Open Error !!!";
// The reason given when the port will not take the RS485 mode asked for: + mode + ": " + system
// text.
inline constexpr const char* kRs485Refused = "the port refuses RS485 mode ";

// Top-level error report: a socket error that no handler cleared, and an
// exception that carries no text of its own.
inline constexpr const char* kAsyncSocketError = "Asynchronous socket error ";  // + code
inline constexpr const char* kUnknownError = "Unknown error";

// Window caption.
inline constexpr const char* kCaption = "Brennik  1.6                              VARNEL";

// Standard error lines of netbuf itself (not shown by the window).
inline constexpr const char* kRepeated = " (repeated ";  // + count + kTimes
inline constexpr const char* kTimes = " times)";
inline constexpr const char* kHeldBack = "netbuf: reports held back: ";  // + count
inline constexpr const char* kOutputBound =
    "netbuf: connection closed, answers not read: ";  // + address
inline constexpr const char* kAcceptPaused =
    "netbuf: cannot accept connections, retrying every second: ";  // + port + ": " + reason

}  // namespace netbuf::texts

// Journal lines of an unattended run (standard error, no category switch).
namespace netbuf::texts {
inline constexpr const char* kQueueFull1 = "events waiting for net.db: queue full (";  // + max
inline constexpr const char* kQueueFull2 = "), event lost from Id ";                   // + Id
inline constexpr const char* kWaitingStored = "waiting events stored in net.db: ";     // + n
inline constexpr const char* kWaitingLeft = ", still waiting: ";                       // + left
inline constexpr const char* kDbReadOnly = " can only be read: ";  // path + .. + reason
inline constexpr const char* kDbReplaced = " was replaced: writing to the new file";  // path + ..
inline constexpr const char* kDbGone = " is gone: changes and events wait until it is back";
inline constexpr const char* kDbWritable = " is writable again";               // path + ..
inline constexpr const char* kNotStored = "stopping: not stored in net.db: ";  // + what
inline constexpr const char* kPointerNotStored =
    "event read pointer not stored in net.db, kept for the next commit: ";  // + reason
inline constexpr const char* kCommitSlow1 = "net.db commit running for ";   // + s
inline constexpr const char* kCommitSlow2 = " s: ";                         // + what waits
inline constexpr const char* kCommitDone = "net.db commit ended after ";    // + s + " s"
inline constexpr const char* kJournalModeKept = " left in WAL mode: ";      // path + .. + reason
inline constexpr const char* kReaderNotAnswering = " not answering";  // reader A (entry E) + ..
inline constexpr const char* kReaderAnswering = " answering again";
// reader A (entry E) + .. + n + kLineTimeouts + m + kLineOfLast + answers + kLineAnswers
inline constexpr const char* kLinePoor = " poor line: CRC errors ";
inline constexpr const char* kLineGood = " line good again: CRC errors ";
inline constexpr const char* kLineTimeouts = ", time-outs ";
inline constexpr const char* kLineOfLast = " of its last ";
inline constexpr const char* kLineAnswers = " answers";
inline constexpr const char* kMetricsPort = "metrics port ";  // + address:port
inline constexpr const char* kTimeZoneOffset =
    "the host's time zone is not UTC+1 or UTC+2: card time zones and event times assume the "
    "site's local time";
inline constexpr const char* kJournalPcPort = "PC port ";                 // + port
inline constexpr const char* kJournalServicePort = "service port ";       // + port
inline constexpr const char* kJournalOpen = " open";                      // port or line + ..
inline constexpr const char* kJournalCannotOpen = " cannot be opened: ";  // + reason
// + peer + ": name " + sender + ", reader " + address + ", typ " + t + ", rozkaz " + r
inline constexpr const char* kRemoteOpening = "remote opening from ";
inline constexpr const char* kRemoteNoReader = ", no such reader";
inline constexpr const char* kRemoteAbsorbed = ", one already pending";
inline constexpr const char* kOpenToAll = "remote control open to every address";
// + peer + kOverRate
inline constexpr const char* kRemoteDropped = "remote commands dropped from ";
inline constexpr const char* kOverRate = ": more than 50 a second on one connection";

// One netbuf per net.db, and a file written behind netbuf's back.
inline constexpr const char* kDbHeld1 = " is in use by netbuf process ";       // path + .. + PID
inline constexpr const char* kDbHeldUnknown = " is in use by another netbuf";  // path + ..
inline constexpr const char* kDbHeld2 = "; one netbuf per net.db, not starting";
inline constexpr const char* kDbMixed =
    "was overwritten in place by what is no sound database: nothing is written to it until it "
    "is one again (netbuf-db restore)";
inline constexpr const char* kDbOverwritten =
    " was overwritten in place: the copy taken in through SQLite, netbuf's registers, cards and "
    "counter go back over it";  // path + ..
inline constexpr const char* kDbWrittenBehind =
    " was written by another program: netbuf's registers, cards and counter go back over "
    "it";  // path + ..
}  // namespace netbuf::texts
