import QtQuick 2.11

Item {
    width: 700
    height: 500
}
