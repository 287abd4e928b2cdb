"""ssh's command lines: the user's options first (ssh takes an option's
first value), forwarding always off, and time limits where none is set."""
from list_exercises import ssh


def test_options_of_a_destination(tmp_path, monkeypatch):
    monkeypatch.setattr(ssh, "has_terminal", lambda: False)
    config = tmp_path / "config"
    config.write_text("Host board\n  HostName 127.0.0.1\n  Port 2222\n  User root\n  ConnectTimeout 5\n")
    device = ssh.Destination.resolve("board", ["-F", str(config)])
    assert device.name == "root@127.0.0.1 port 2222"
    assert device.options[:2] == ["-F", str(config)]
    assert "ForwardAgent=no" in device.options and "ForwardX11=no" in device.options
    assert "ConnectTimeout=30" not in device.options
    assert "ServerAliveInterval=15" in device.options
    assert device.options[-2:] == ["-o", "BatchMode=yes"]
    words = device.command(["rm", "-rf", "it's here"], control=tmp_path / "c")
    assert words[:5] == ["ssh", "-T", "-o", f"ControlPath={tmp_path / 'c'}", "-o"]
    assert words[-2] == "board"
    assert words[-1] == "rm -rf 'it'\"'\"'s here'"
