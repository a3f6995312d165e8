// Every caption and initial text of the main window and its tray menu, in one
// place, exactly as the operator sees them. The window caption itself lives in
// core/log_texts.h (texts::kCaption) because start-up sets it.
#pragma once

namespace netbuf::captions {

// Pages of AdvOfficePager1, in tab order.
inline constexpr const char* kPageStatus = "Status";
inline constexpr const char* kPageSettings = "Ustawienia";
inline constexpr const char* kPageMonitor = "Monitor";

// Below the pages.
inline constexpr const char* kCheckBox33 = "Zakończ i zamknij program";
inline constexpr const char* kButton4 = "Ukryj";

// Page "Status": captions and the initial status values.
inline constexpr const char* kLabel1 = "MAC :";
inline constexpr const char* kLabel2 = "Ilosc kodów:";
inline constexpr const char* kLabel3 = "Czytników:";
inline constexpr const char* kLabel7 = "Port RS:";
inline constexpr const char* kLabel12 = "Ilosc zdarzeń";
inline constexpr const char* kLabel15 = "Kolejne zdarzenie do odczytu";
inline constexpr const char* kLabel22 = "Klient";
inline constexpr const char* kLabel5 = "0";
inline constexpr const char* kLabel6 = "0";
inline constexpr const char* kLabel4 = "0";
inline constexpr const char* kLabel8 = "?";
inline constexpr const char* kLabel13 = "0";
inline constexpr const char* kLabel14 = "0";
inline constexpr const char* kLabel21 = "---";
inline constexpr const char* kLabel24 = "Wersja oprogramowania 1.6";
// The reader table under the figures: one row per reader address, counted
// since netbuf started.
inline constexpr const char* kReaderTableColumns[] = {
    "Czytnik", "Odpowiada", "Odpowiedzi", "Błędy CRC", "Bez odpowiedzi", "Czas odp. [ms]"};
inline constexpr const char* kReaderAnswering = "tak";
inline constexpr const char* kReaderSilent = "nie";
// Label8 once the reader line is known: this prefix and the port number.
inline constexpr const char* kComPortPrefix = "COM ";

// Page "Ustawienia".
inline constexpr const char* kLabel9 = "Port COM komunikacji RS485";
inline constexpr const char* kLabel16 = "Port komunikacji TCP";
inline constexpr const char* kLabel18 = "Port uslug specjalnych";
inline constexpr const char* kLabel11 = "Delay";
inline constexpr const char* kLabel19 = "Dzwięk karta nierozpoznana ";
inline constexpr const char* kLabel20 = "Niewłaściwa strefa czasowa";
inline constexpr const char* kNrDeviceBox1 = "COM1";
inline constexpr const char* kEdit2 = "502";
inline constexpr const char* kEdit3 = "1060";
inline constexpr const char* kButton7 = "Zapisz";
inline constexpr const char* kButton3 = "Button3";
inline constexpr const char* kMemo2 = "Memo2";
// Memo2 lines written by Button3.
inline constexpr const char* kRxCount = "cnt_485:";

// Page "Monitor".
inline constexpr const char* kSpeedButton1 = "start";
inline constexpr const char* kSpeedButton2 = "Stop";
inline constexpr const char* kLabel10 = "Uaktualnianie bazy kodów kart";
inline constexpr const char* kButton5 = "CLR";
inline constexpr const char* kButton2 = "add event";
inline constexpr const char* kMonitorRs = "Transmisja RS485";
inline constexpr const char* kMonitorTcp = "Transmisja TCP";
inline constexpr const char* kMonitorZd = "Zdarzenia";
inline constexpr const char* kMonitorTr = "Monitorowanie polaczeń";

// The test card that "add event" presents at reader entry 1.
inline constexpr const char* kTestCardCode = "7305918264410";

// Tray menu PopupMenu1.
inline constexpr const char* kStart1 = "Ukryj";
inline constexpr const char* kStop1 = "Okno programu";

}  // namespace netbuf::captions
