-- No Bluetooth and no logind on a headless machine.
bluez_monitor.enabled = false
bluez_monitor.properties["with-logind"] = false
