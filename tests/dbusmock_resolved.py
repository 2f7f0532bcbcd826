'''systemd-resolved's manager for the desktop agent tests: the DNS servers
and domains of each link, set with SetLinkDNS and SetLinkDomains as on the
real service.'''

import dbus

BUS_NAME = 'org.freedesktop.resolve1'
MAIN_OBJ = '/org/freedesktop/resolve1'
MAIN_IFACE = 'org.freedesktop.resolve1.Manager'
SYSTEM_BUS = True


def set_link_entries(mock, name, signature, link, entries):
    kept = [entry for entry in mock.Get(MAIN_IFACE, name) if entry[0] != link]
    kept += [(link,) + tuple(entry) for entry in entries]
    mock.UpdateProperties(MAIN_IFACE, {name: dbus.Array(kept, signature=signature)})


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {
        'DNS': dbus.Array(parameters.get('DNS', []), signature='(iiay)'),
        'Domains': dbus.Array(parameters.get('Domains', []), signature='(isb)'),
    })
    mock.set_link_entries = set_link_entries
    mock.AddMethods(MAIN_IFACE, [
        ('SetLinkDNS', 'ia(iay)', '', 'self.set_link_entries(self, "DNS", "(iiay)", args[0], args[1])'),
        ('SetLinkDomains', 'ia(sb)', '', 'self.set_link_entries(self, "Domains", "(isb)", args[0], args[1])'),
    ])
