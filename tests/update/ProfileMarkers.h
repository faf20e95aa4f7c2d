#pragma once

#include <QByteArrayList>

// The markers of the user's lines in a profile, written out apart from the
// merge's own list: a marker lost from that list must show in the tests and
// the merge fuzzer.
inline QByteArrayList userLineMarkers()
{
    return QByteArray("LastSession\tconnecttype|LastSession\tfacility|LastSession\trating|"
                      "LastSession\ttovatsim|LastSession\trange|LastSession\trealname|"
                      "LastSession\tcertificate|LastSession\tpassword|LastSession\tserver|"
                      "LastSession\tatis_airport|Voice\tinput_hardware|Voice\toutput_hardware|"
                      "Voice\tinput_hardware2|Voice\toutput_hardware2|Voice\tPPPT|Voice\tSPPT|"
                      "Settings\tAselKey|Settings\tFreqKey|LastSession\tatis4|LastSession\tatis2|"
                      "LastSession\tcallsign|LastSession\tatis3|Sounds\t|SECTORFILE:|SECTORTITLE:")
        .split('|');
}
