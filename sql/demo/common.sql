-- The demo site's common database before its first upgrade run: one release older than the
-- cloud's, one the same. The cloud settings row is added by the demo, which knows the port.
INSERT INTO [vcSysProgRelease] ([Suite], [ProgName], [Description], [Version], [Critical], [MinDBVersion], [Notes], [UploadDate], [UploadTime])
VALUES ('VELMORA', 'velReports', 'Report designer', '1.1', 'N', '1.0', 'First release', '2026/01/05', '10:00:00');
INSERT INTO [vcSysProgRelease] ([Suite], [ProgName], [Description], [Version], [Critical], [MinDBVersion], [Notes], [UploadDate], [UploadTime])
VALUES ('VELMORA', 'velTools', 'Tool box', '3.0', 'N', '1.0', 'Stable', '2026/01/05', '10:00:00');
