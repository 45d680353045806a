// The process-wide variables shared by the SNMP GET and the cancel watcher.
